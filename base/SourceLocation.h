// base: where a report was made. A stand-in for std::source_location, which the clang of the fuzz
// build cannot compile against this standard library; both compilers offer the builtins.
#pragma once

namespace vl {

class SourceLocation {
  public:
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            int line = __builtin_LINE(),
                                            const char* function = __builtin_FUNCTION()) noexcept {
        return SourceLocation(file, line, function);
    }

    constexpr const char* file_name() const noexcept { return file_; }
    constexpr int line() const noexcept { return line_; }
    constexpr const char* function_name() const noexcept { return function_; }

  private:
    constexpr SourceLocation(const char* file, int line, const char* function) noexcept
        : file_(file), line_(line), function_(function) {}

    const char* file_;
    int line_;
    const char* function_;
};

}  // namespace vl
