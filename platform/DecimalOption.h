// Numbers and texts on the programs' command lines (CLI11): a number is
// decimal only, in its range (CLI11 on its own also reads hex, octal and,
// for an unsigned option, a minus wrapped around to a huge value), and is
// handed on in canonical form; a text given must not be empty.
#pragma once

#include <CLI/CLI.hpp>

#include <charconv>
#include <string>
#include <system_error>

template <typename T>
CLI::Validator DecimalIn(T low, T high) {
    return CLI::Validator(
        [low, high](std::string& text) {
            T value{};
            const char* end = text.data() + text.size();
            const auto read = std::from_chars(text.data(), end, value);
            if (text.empty() || read.ec != std::errc() || read.ptr != end || value < low ||
                value > high)
                return "bad value " + text;
            text = std::to_string(value);
            return std::string();
        },
        "N");
}

inline const CLI::Validator kNonEmptyText(
    [](std::string& text) { return text.empty() ? std::string("bad value ''") : std::string(); },
    "TEXT");
