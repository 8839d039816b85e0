# Sourced by test and fuzz-deep: the build configurations they share and their job runner.

# Configures build dir $1 with compiler and linker flags $2 (the sanitized whole-suite builds).
configure_instrumented_build() {
  local dir=$1 flags=$2
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_BENCH=OFF \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$flags" \
    -DCMAKE_SHARED_LINKER_FLAGS="$flags" >/dev/null
}

# The fuzz build: clang (libFuzzer), optimised, the fuzz targets' code instrumented with
# AddressSanitizer and UndefinedBehaviorSanitizer. A Debug build runs the fuzzers ten times slower.
configure_fuzz_build() {
  cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVANTREL_FUZZ=ON -DVANTREL_BENCH=OFF \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
}

# run_parallel JOBS FUNCTION ITEM...: runs FUNCTION ITEM for every item, at most JOBS at a time
# (each fuzzer uses one thread). Waits for all of them; fails if any failed.
run_parallel() {
  local jobs=$1 function=$2 item running=0 failed=0
  shift 2
  for item in "$@"; do
    "$function" "$item" &
    running=$((running + 1))
    if [ "$running" -ge "$jobs" ]; then
      wait -n || failed=1
      running=$((running - 1))
    fi
  done
  while [ "$running" -gt 0 ]; do
    wait -n || failed=1
    running=$((running - 1))
  done
  return "$failed"
}
