#pragma once
// Number texts shared by the log line, the RTK files and the fuel report.

#include <string>

namespace telvaro {

/// `v` rounded to `precision` significant digits and written with exactly `decimals`
/// digits after `sep`; a value with more integer digits than `precision` is written
/// in exponent form ("1.2345E+20").
std::string FormatFixed(double v, int precision, int decimals, char sep = '.');
/// FormatFixed appended to `out`.
void AppendFixed(std::string& out, double v, int precision, int decimals, char sep = '.');

/// The shortest general form of `v` with at most `precision` significant digits:
/// no trailing zeros, exponent form only for very large or very small values.
std::string FormatGeneral(double v, int precision, char sep = '.');

}  // namespace telvaro
