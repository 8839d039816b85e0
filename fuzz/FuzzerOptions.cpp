// Sanitizer settings every fuzz target here shares; ASAN_OPTIONS still overrides them.
//
// ASan holds freed blocks in a quarantine before reusing their memory, 256 MB by default. A fuzz
// target frees everything an input allocated thousands of times a second, so with the default
// nearly every allocation lands on pages the kernel has to hand out afresh, which costs more than
// many targets' own work. 16 MB still keeps a block from being reused long after the input that
// freed it has ended, so a use after free within an input is still caught.
extern "C" const char* __asan_default_options() {
    return "quarantine_size_mb=16";
}
