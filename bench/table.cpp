// The result table: rows read from elsewhere and the printed table.
#include "bench/harness.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace qxbench {

bool ParseDouble(const char* text, double* out) {
  char* end = nullptr;
  errno = 0;
  *out = std::strtod(text, &end);
  return end != text && *end == '\0' && errno == 0;
}

bool ParseLong(const char* text, long* out) {
  char* end = nullptr;
  errno = 0;
  *out = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && errno == 0;
}

// Each line: case, module side, interpreter side, unit, module value,
// interpreter value, ratio, goal, result, module stdev, interpreter stdev
// (the last two "nan" when unknown).
bool ReadExtraRows(const std::string& path, std::vector<Row>* rows) {
  std::ifstream in(path);
  if (!in) {
    std::fprintf(stderr, "qx_bench: cannot read %s\n", path.c_str());
    return false;
  }
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    std::vector<std::string> f;
    std::stringstream ss(line);
    std::string cell;
    while (std::getline(ss, cell, '\t')) f.push_back(cell);
    if (f.size() != 11) {
      std::fprintf(stderr, "qx_bench: malformed row in %s: %s\n", path.c_str(), line.c_str());
      return false;
    }
    double values[5];
    const int columns[5] = {4, 5, 6, 9, 10};
    for (int k = 0; k < 5; ++k) {
      if (!ParseDouble(f[columns[k]].c_str(), &values[k])) {
        std::fprintf(stderr, "qx_bench: malformed number in %s: %s\n", path.c_str(), line.c_str());
        return false;
      }
    }
    Row r{f[0], f[1], f[2], f[3], values[0], values[1], values[3], values[4], values[2], f[7], f[8]};
    rows->push_back(r);
  }
  return true;
}

namespace {

std::string Number(double v, const std::string& unit) {
  char buf[32];
  if (std::isnan(v)) return "-";
  if (unit == "allocs/call") {
    std::snprintf(buf, sizeof(buf), "%.2f", v);
  } else if (v >= 1e5) {
    std::snprintf(buf, sizeof(buf), "%.0f", v);
  } else {
    std::snprintf(buf, sizeof(buf), "%.1f", v);
  }
  return buf;
}

// A value and, when known, its standard deviation.
std::string Value(double v, double stdev, const std::string& unit) {
  return std::isnan(stdev) ? Number(v, unit) : Number(v, unit) + " +- " + Number(stdev, unit);
}

}  // namespace

void PrintTable(const std::vector<Row>& rows, bool verdicts) {
  std::vector<std::vector<std::string>> cells = {
      {"case", "module side", "interpreter side", "unit", "module", "interp", "ratio", "goal", "result"}};
  if (!verdicts) cells[0].resize(6);
  for (const Row& r : rows) {
    char ratio[32];
    if (std::isnan(r.ratio)) {
      std::snprintf(ratio, sizeof(ratio), "-");
    } else {
      std::snprintf(ratio, sizeof(ratio), "%.3f", r.ratio);
    }
    cells.push_back({r.name, r.module_side, r.interp_side, r.unit,
                     Value(r.module_value, r.module_stdev, r.unit),
                     Value(r.interp_value, r.interp_stdev, r.unit), ratio, r.goal, r.result});
    cells.back().resize(cells[0].size());
  }
  std::vector<size_t> width(cells[0].size(), 0);
  for (const auto& line : cells) {
    for (size_t i = 0; i < line.size(); ++i) width[i] = std::max(width[i], line[i].size());
  }
  auto print_line = [&](const std::vector<std::string>& line) {
    std::string out;
    for (size_t i = 0; i < line.size(); ++i) {
      const bool numeric = i >= 4 && i <= 6;
      std::string pad(width[i] - line[i].size(), ' ');
      out += numeric ? pad + line[i] : line[i] + pad;
      if (i + 1 < line.size()) out += " | ";
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    std::printf("%s\n", out.c_str());
  };
  print_line(cells[0]);
  std::string rule;
  for (size_t i = 0; i < width.size(); ++i) {
    rule += std::string(width[i], '-');
    if (i + 1 < width.size()) rule += "-|-";
  }
  std::printf("%s\n", rule.c_str());
  for (size_t i = 1; i < cells.size(); ++i) print_line(cells[i]);
}

}  // namespace qxbench
