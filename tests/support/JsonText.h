#pragma once

// The two things every JSON test does with a document: read its text, and
// make one from a text that must parse. For JSONParser and JSONFormatter
// alike.

#include <gtest/gtest.h>

#include <string>

namespace WardlineTest
{

template <typename Document> std::wstring text(const Document& document)
{
    std::wstring out;
    document.toString(out);
    return out;
}

template <typename Document> Document parsed(const std::wstring& json)
{
    Document document;
    EXPECT_TRUE(document.parse(json)) << json;
    return document;
}

} // namespace WardlineTest
