// Number texts of the status replies: rates as "x.xx Mbps" and byte counts with a binary unit.
#pragma once

#include <cstdint>
#include <string>

// Fixed notation with two decimals ("%.2f").
std::string format_fixed2(double value);
// A rate in bytes per second as megabits per second in binary units: value / 1024 / 128, then " Mbps".
std::string format_mbps(int64_t bytes_per_second);
// A byte count with its unit: "<n> B" below 1024, else KB, MB, GB or TB with two decimals.
std::string format_bytes(int64_t bytes);

double to_kbytes(int64_t bytes);
double to_megabytes(int64_t bytes);
double to_megabits(int64_t bytes);
double to_gigabytes(int64_t bytes);
double to_terabytes(int64_t bytes);
