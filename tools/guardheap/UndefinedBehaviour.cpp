// What the checked build's undefined-behaviour checks call when one fails:
// a line naming the check, the source position and, where the check has
// them, the type and the value, then the process stops. The compiler's own
// run-time library for these checks does not exist for this target; in trap
// mode every check of a function ends in one shared illegal instruction, and
// which check failed is then anybody's guess. Linked into every executable
// and library of the checked build.

#include "Frames.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>

namespace
{

struct SourceLocation
{
    const char* file;
    std::uint32_t line;
    std::uint32_t column;
};

struct TypeDescriptor
{
    std::uint16_t kind;
    std::uint16_t info;
    char name[1];
};

std::size_t clamp(int length, std::size_t capacity) noexcept
{
    return length < 0 ? 0 : length < static_cast<int>(capacity) ? static_cast<std::size_t>(length) : capacity - 1;
}

// The exit code of a process stopped here: what trap mode would have given.
constexpr UINT kStopExitCode = 0xC000001D;

[[noreturn]] void report(const char* check, const SourceLocation* where, const char* detail) noexcept
{
    // The callers of the failed check's function: the position names the
    // line, they say how it was reached (the handler and report left out).
    // Written a frame at a time: a check may fail with little stack left.
    constexpr unsigned kCallers = 12;
    void* frames[kCallers] = {};
    ::RtlCaptureStackBackTrace(2, kCallers, frames, nullptr);
    char text[768];
    int length = std::snprintf(text, sizeof(text), "undefined behaviour: %s at %s:%lu:%lu%s", check,
                               where != nullptr && where->file != nullptr ? where->file : "?",
                               static_cast<unsigned long>(where != nullptr ? where->line : 0),
                               static_cast<unsigned long>(where != nullptr ? where->column : 0), detail);
    const HANDLE output = ::GetStdHandle(STD_ERROR_HANDLE);
    DWORD written = 0;
    ::WriteFile(output, text, static_cast<DWORD>(clamp(length, sizeof(text))), &written, nullptr);
    ::OutputDebugStringA(text);
    for (unsigned i = 0; i < kCallers && frames[i] != nullptr; ++i)
    {
        length = GuardHeap::describeFrames(text, sizeof(text), i == 0 ? "called from" : "           ", &frames[i], 1);
        ::WriteFile(output, text, static_cast<DWORD>(clamp(length, sizeof(text))), &written, nullptr);
    }
    ::WriteFile(output, "\n", 1, &written, nullptr);
    ::TerminateProcess(::GetCurrentProcess(), kStopExitCode);
    for (;;)
    {
    }
}

} // namespace

extern "C" {

// Every check's data starts with the source position.
#define WARDLINE_UB_CHECK(handler, check)                                                                        \
    [[noreturn]] void handler(const SourceLocation* data, void*, void*)                                          \
    {                                                                                                            \
        report(check, data, "");                                                                                 \
    }

WARDLINE_UB_CHECK(__ubsan_handle_add_overflow_abort, "signed addition overflowed")
WARDLINE_UB_CHECK(__ubsan_handle_sub_overflow_abort, "signed subtraction overflowed")
WARDLINE_UB_CHECK(__ubsan_handle_mul_overflow_abort, "signed multiplication overflowed")
WARDLINE_UB_CHECK(__ubsan_handle_negate_overflow_abort, "signed negation overflowed")
WARDLINE_UB_CHECK(__ubsan_handle_divrem_overflow_abort, "division by zero or overflow")
WARDLINE_UB_CHECK(__ubsan_handle_shift_out_of_bounds_abort, "shift out of bounds")
WARDLINE_UB_CHECK(__ubsan_handle_out_of_bounds_abort, "index out of bounds")
WARDLINE_UB_CHECK(__ubsan_handle_builtin_unreachable, "unreachable code reached")
WARDLINE_UB_CHECK(__ubsan_handle_missing_return, "end of a function that returns a value")
WARDLINE_UB_CHECK(__ubsan_handle_vla_bound_not_positive_abort, "array bound not positive")
WARDLINE_UB_CHECK(__ubsan_handle_float_cast_overflow_abort, "floating-point value out of the range of its target")
WARDLINE_UB_CHECK(__ubsan_handle_load_invalid_value_abort, "load of a value its type does not have (bool, enum)")
WARDLINE_UB_CHECK(__ubsan_handle_invalid_builtin_abort, "builtin called with an invalid argument")
WARDLINE_UB_CHECK(__ubsan_handle_nonnull_arg_abort, "null passed for an argument declared non-null")
WARDLINE_UB_CHECK(__ubsan_handle_pointer_overflow_abort, "pointer arithmetic overflowed")

#undef WARDLINE_UB_CHECK

// The position given is that of the attribute; the return's comes second.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the compiler's checks call
[[noreturn]] void __ubsan_handle_nonnull_return_v1_abort(const void*, const SourceLocation* where)
{
    report("null returned from a function declared to return non-null", where, "");
}

struct TypeMismatch
{
    SourceLocation where;
    const TypeDescriptor* type;
    unsigned char logAlignment;
    unsigned char kind;
};

// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the compiler's checks call
[[noreturn]] void __ubsan_handle_type_mismatch_v1_abort(const TypeMismatch* data, void* pointer)
{
    static const char* const kinds[] = {"load of",          "store to",           "reference binding to",
                                        "member access in", "member call on",     "constructor call on",
                                        "downcast of",      "downcast of",        "upcast of",
                                        "cast to virtual base of", "nonnull binding to", "dynamic operation on"};
    char detail[512];
    const char* problem = pointer == nullptr ? "null pointer"
                          : (reinterpret_cast<std::uintptr_t>(pointer) & ((std::uintptr_t{1} << data->logAlignment) - 1)) != 0
                              ? "misaligned address"
                              : "address with too little room";
    std::snprintf(detail, sizeof(detail), ": %s %s %p of type %s (alignment %u)",
                  data->kind < sizeof(kinds) / sizeof(kinds[0]) ? kinds[data->kind] : "use of", problem, pointer,
                  data->type != nullptr ? data->type->name : "?", 1u << data->logAlignment);
    report("type mismatch", &data->where, detail);
}

} // extern "C"
