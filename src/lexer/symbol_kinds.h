#pragma once
// The 41 operator kinds of Symbol tokens and the characters of each.
//
// This table is the only list of them: the symbol reader derives its
// lookups from it, so a kind added here is known to it at once (the tests
// write the kinds out on their own). A comma is a Symbol too, but has no
// kind; its kind stays 0.

#include <cstdint>

struct zor_symbol_kind {
    std::int32_t kind;
    const char* text;  // one or two characters
};

inline constexpr zor_symbol_kind zor_symbol_kinds[] = {
    {1, "("},   {2, ")"},   {3, ">"},   {4, ">="},  {5, "<"},   {6, "<="},  {7, "+"},
    {8, "++"},  {9, "-"},   {10, "--"}, {11, "&"},  {12, "&&"}, {13, "|"},  {14, "||"},
    {15, "->"}, {16, "!"},  {17, "!="}, {18, "="},  {19, "=="}, {20, "+="}, {21, "-="},
    {22, "*"},  {23, "*="}, {24, "/"},  {25, "/="}, {26, "&="}, {27, "|="}, {28, ";"},
    {29, ":"},  {30, "."},  {31, "^"},  {32, "^="}, {33, "%"},  {34, "["},  {35, "]"},
    {36, "{"},  {37, "}"},  {38, "#"},  {39, ">>"}, {40, "<<"}, {41, "::"},
};

inline constexpr std::int32_t comma_kind = 0;
