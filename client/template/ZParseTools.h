// The menu layer of the command language: "label(commands);label(commands)".
#pragma once

#include <string>
#include <utility>
#include <vector>

// Parses a menu text into (label, command list) pairs; the output is emptied
// first. Parsing stops where the text stops matching, without an error:
// "(x)" is one pair with an empty label, "Talk(a);Call(b);" two pairs,
// "(x)(y)" only ("", "x"), and "abc" none.
void ZParseTools_parseMenu(std::vector<std::pair<std::wstring, std::wstring>>& menu, const std::wstring& text);
