// libFuzzer entry for the recording reader: one input is one file's bytes.
// Read whole and in pieces (the first byte picks their size), it must give the
// same answer both ways; a refusal is one short ASCII line, and what is
// accepted holds together and samples within its own values.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstdio>
#include <string>

#include "recordingfile.h"

namespace {

void check(bool ok, const char* what) {
    if (ok) return;
    std::fprintf(stderr, "csv fuzz: %s\n", what);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    namespace rec = cvi::recording;
    const char* text = reinterpret_cast<const char*>(data);
    std::string error;
    const auto whole = rec::parseText(text, size, "in\xe9.csv", &error);

    const std::size_t piece = size ? 1 + data[0] % 64 : 1;
    rec::Parser parser("in\xe9.csv");
    bool fed = true;
    for (std::size_t at = 0; fed && at < size; at += piece) fed = parser.feed(text + at, std::min(piece, size - at));
    const auto cut = fed ? parser.finish() : nullptr;

    check(!whole == !cut, "whole and in pieces disagree");
    if (!whole) {
        check(error == parser.error(), "whole and in pieces refuse differently");
        check(!error.empty() && error.size() <= rec::kMaxErrorChars, "error empty or too long");
        for (unsigned char c : error) check(c >= 0x20 && c < 0x7f, "error not printable ASCII");
        return 0;
    }
    check(whole->times == cut->times && whole->values == cut->values, "pieces give other data");
    const auto& r = *whole;
    const auto columns = static_cast<std::size_t>(r.columns);
    check(r.columns >= 1 && r.columns <= rec::kMaxColumns, "column count out of bounds");
    check(r.rows() >= 1 && r.rows() <= rec::kMaxRows, "row count out of bounds");
    check(r.values.size() == r.rows() * columns, "values do not fill the rows");
    for (std::size_t i = 1; i < r.rows(); ++i) check(r.times[i] > r.times[i - 1], "times do not rise");

    // Samples at and between the rows, and beyond both ends.
    std::uint16_t lo[rec::kMaxColumns], hi[rec::kMaxColumns], words[rec::kMaxColumns];
    std::fill(lo, lo + columns, 65535);
    std::fill(hi, hi + columns, 0);
    for (std::size_t i = 0; i < r.values.size(); ++i) {
        lo[i % columns] = std::min(lo[i % columns], r.values[i]);
        hi[i % columns] = std::max(hi[i % columns], r.values[i]);
    }
    std::size_t cursor = 0;
    const double first = r.times.front(), last = r.times.back();
    if (!(first > -1e12 && last < 1e12 && last - first < 1e7)) return 0;  // too far out to walk in tenths
    const long long from = static_cast<long long>(first * 10) - 3, to = static_cast<long long>(last * 10) + 3;
    const long long step = std::max(1LL, (to - from) / 500);
    for (long long t = from; t <= to; t += step) {
        check(rec::sample(r, t, r.columns, words, &cursor), "no sample");
        for (std::size_t j = 0; j < columns; ++j) check(words[j] >= lo[j] && words[j] <= hi[j], "sample outside the values");
    }
    check(!rec::sample(r, 0, r.columns + 1, words, &cursor), "sampled for another frame");
    return 0;
}
