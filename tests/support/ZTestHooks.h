#pragma once
#include <string>
void ZTestCaptureLine(const std::wstring& line);
