#pragma once

// A field of a packed record (the message context) may lie where its type's
// alignment does not allow; binding a reference to it, as EXPECT_EQ does with
// its arguments, is undefined behaviour. Tests read such fields by value.
template <class T>
constexpr T packed(T value)
{
    return value;
}
