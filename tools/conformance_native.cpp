// The conformance cases run through the engine alone, without Python, so that builds for other
// platforms can be checked against the same expected results.
//
//   conformance_native [--kernel NAME] [--schedule NAME] CASES_DIR
//                                           every *.case file in name order; one result row each
//                                           on standard output, in the expected.tsv layout; the
//                                           options force the transform's kernel build
//                                           (baseline, avx2, avx512) or schedule (rows, pairs,
//                                           strips_l1, strips_l2), which must not change a bit
//   conformance_native --compare EXPECTED RESULTS [LABEL]
//                                           row by row comparison; prints the differing fields
//                                           and a summary, exits 1 unless every case is identical
//
// A case runs as the Python module's SelectedMatch runs it: the same record defaults, the engine's
// pipeline, and a failure reported as an "Error: " line on standard error (here after the case's
// name) with an all-zero result.
// The engine prints nothing; the runner still points descriptor 1 at a scratch file and counts
// "No solution" lines per case (the expected layout's column, 0 for every case), and writes its
// own rows elsewhere.
#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#define TALMEK_DUP _dup
#define TALMEK_DUP2 _dup2
#define TALMEK_FILENO _fileno
#define TALMEK_FDOPEN _fdopen
#define TALMEK_CLOSE _close
#else
#include <unistd.h>
#define TALMEK_DUP dup
#define TALMEK_DUP2 dup2
#define TALMEK_FILENO fileno
#define TALMEK_FDOPEN fdopen
#define TALMEK_CLOSE close
#endif

#include "engine/fft_fast.h"
#include "engine/pipeline.h"
#include "records/image_rows.h"
#include "records/line_seg.h"
#include "records/matching_params.h"

namespace fs = std::filesystem;
using talmek::LineSeg;
using talmek::MatchingParams;

namespace {

constexpr const char* kNoSolution = "No solution--Matrix not invertible:";
constexpr const char* kHeader =
    "case\tactive\tlength\tstrength\tdisplacement\trms_1\trms_2\tx1\ty1\tx2\ty2\tno_solution_lines\terror_line";

// ---- numbers as text ----------------------------------------------------------------------------

std::uint64_t bits_of(double x) {
    std::uint64_t u;
    std::memcpy(&u, &x, sizeof u);
    return u;
}

// The value as Python's float.hex() writes it: 13 hexadecimal digits after the point, "nan" and
// "inf" spelt out. Formed from the bits, so no C library's printf is involved.
std::string python_hex(double x) {
    const std::uint64_t u = bits_of(x);
    const bool negative = (u >> 63) != 0;
    const int field = static_cast<int>((u >> 52) & 0x7ff);
    const std::uint64_t mantissa = u & ((std::uint64_t{1} << 52) - 1);
    if (field == 0x7ff) return mantissa != 0 ? "nan" : (negative ? "-inf" : "inf");
    std::string text = negative ? "-0x" : "0x";
    if (field == 0 && mantissa == 0) return text + "0.0p+0";
    text += field == 0 ? "0." : "1.";
    static const char digits[] = "0123456789abcdef";
    for (int shift = 48; shift >= 0; shift -= 4) text += digits[(mantissa >> shift) & 0xf];
    const int exponent = field == 0 ? -1022 : field - 1023;
    text += exponent < 0 ? "p-" : "p+";
    text += std::to_string(exponent < 0 ? -exponent : exponent);
    return text;
}

// A real as the case files write it: Python's float.hex() or repr().
double parse_real(const std::string& text) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    const bool negative = begin != end && *begin == '-';
    const char* p = negative ? begin + 1 : begin;
    double value = 0.0;
    std::from_chars_result r{};
    if (end - p > 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        r = std::from_chars(p + 2, end, value, std::chars_format::hex);
    } else {
        r = std::from_chars(p, end, value, std::chars_format::general);
    }
    if (r.ec != std::errc() || r.ptr != end) throw std::runtime_error("not a real: " + text);
    return negative ? -value : value;
}

std::int32_t parse_int(const std::string& text) {
    std::int32_t value = 0;
    const auto r = std::from_chars(text.data(), text.data() + text.size(), value);
    if (r.ec != std::errc() || r.ptr != text.data() + text.size()) throw std::runtime_error("not a 32-bit integer: " + text);
    return value;
}

std::vector<std::string> split(const std::string& line, char sep) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(line);
    while (std::getline(in, part, sep)) {
        if (sep != ' ' || !part.empty()) parts.push_back(part);
    }
    return parts;
}

// ---- cases ----------------------------------------------------------------------------------------

struct Case {
    std::int32_t rows1 = 0, cols1 = 0, rows2 = 0, cols2 = 0;
    std::vector<std::int32_t> row, col;
    MatchingParams params;
    std::vector<std::uint8_t> pixels;  // image1 then image2, row-major
};

std::string read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::vector<std::int32_t> int_list(const std::vector<std::string>& f) {
    if (f.size() < 2 || static_cast<std::size_t>(parse_int(f[1])) != f.size() - 2) throw std::runtime_error("bad list");
    std::vector<std::int32_t> values;
    for (std::size_t k = 2; k < f.size(); ++k) values.push_back(parse_int(f[k]));
    return values;
}

// The record's fields in the order of its pickled state, as the case files list them.
void read_params(const std::vector<std::string>& f, MatchingParams& p) {
    if (f.size() != 21) throw std::runtime_error("params needs 20 values");
    std::size_t k = 1;
    auto i = [&] { return parse_int(f[k++]); };
    auto d = [&] { return parse_real(f[k++]); };
    p.peakmethod_ = i();
    p.ref_cellsize_ = d();
    p.srch_cellsize_ = d();
    p.corrtype_ = i();
    p.maxdiff_ = d();
    p.mincorr_ = d();
    p.start_row_ = i();
    p.start_col_ = i();
    p.srch_xll_ = d();
    p.srch_yll_ = d();
    p.ref_xll_ = d();
    p.ref_yll_ = d();
    p.chipwidth_ = i();
    p.chipheight_ = i();
    p.hoffset_ = i();
    p.voffset_ = i();
    p.row_interval_ = i();
    p.col_interval_ = i();
    p.row_offset_ = i();
    p.col_offset_ = i();
}

Case read_case(const fs::path& path) {
    const std::string raw = read_file(path);
    const std::string marker = "\nDATA\n";
    const std::size_t at = raw.find(marker);
    if (at == std::string::npos) throw std::runtime_error("no DATA line in " + path.string());
    Case c;
    std::istringstream head(raw.substr(0, at));
    std::string line;
    std::getline(head, line);
    if (line != "TALMEK-CASE 1") throw std::runtime_error("not a case file: " + path.string());
    while (std::getline(head, line)) {
        const std::vector<std::string> f = split(line, ' ');
        if (f.empty()) continue;
        if (f[0] == "image1" && f.size() == 3) {
            c.rows1 = parse_int(f[1]);
            c.cols1 = parse_int(f[2]);
        } else if (f[0] == "image2" && f.size() == 3) {
            c.rows2 = parse_int(f[1]);
            c.cols2 = parse_int(f[2]);
        } else if (f[0] == "row") {
            c.row = int_list(f);
        } else if (f[0] == "col") {
            c.col = int_list(f);
        } else if (f[0] == "params") {
            read_params(f, c.params);
        }
    }
    const std::size_t n1 = static_cast<std::size_t>(c.rows1) * static_cast<std::size_t>(c.cols1);
    const std::size_t n2 = static_cast<std::size_t>(c.rows2) * static_cast<std::size_t>(c.cols2);
    const std::size_t data = at + marker.size();
    if (raw.size() - data != n1 + n2) throw std::runtime_error("wrong pixel count in " + path.string());
    c.pixels.assign(raw.begin() + static_cast<std::ptrdiff_t>(data), raw.end());
    return c;
}

// ---- the engine's standard output ---------------------------------------------------------------

// Descriptor 1 goes to a scratch file for the whole run; the rows go to a copy of the original.
class CapturedStdout {
public:
    explicit CapturedStdout(fs::path scratch) : path_(std::move(scratch)) {
        std::fflush(stdout);
        const int original = TALMEK_DUP(TALMEK_FILENO(stdout));
#ifdef _WIN32
        // Rows end in a bare newline on every platform, as in the expected file.
        if (original >= 0) _setmode(original, _O_BINARY);
#endif
        rows_ = original >= 0 ? TALMEK_FDOPEN(original, "wb") : nullptr;
        scratch_ = std::fopen(path_.string().c_str(), "wb");
        if (!rows_ || !scratch_ || TALMEK_DUP2(TALMEK_FILENO(scratch_), TALMEK_FILENO(stdout)) < 0) {
            throw std::runtime_error("cannot redirect standard output to " + path_.string());
        }
    }
    ~CapturedStdout() {
        std::fflush(stdout);
        if (rows_) {
            std::fflush(rows_);
            TALMEK_DUP2(TALMEK_FILENO(rows_), TALMEK_FILENO(stdout));
            std::fclose(rows_);
        }
        if (scratch_) std::fclose(scratch_);
        std::error_code ignored;
        fs::remove(path_, ignored);
    }
    CapturedStdout(const CapturedStdout&) = delete;
    CapturedStdout& operator=(const CapturedStdout&) = delete;

    FILE* rows() const { return rows_; }

    // Everything written to standard output since the last call.
    std::string take() {
        std::fflush(stdout);
        const std::string all = read_file(path_);
        std::string fresh = all.substr(std::min(seen_, all.size()));
        seen_ = all.size();
        return fresh;
    }

private:
    fs::path path_;
    FILE* rows_ = nullptr;
    FILE* scratch_ = nullptr;
    std::size_t seen_ = 0;
};

std::size_t count_lines_with(const std::string& text, const char* what) {
    std::size_t count = 0;
    for (const std::string& line : split(text, '\n')) {
        if (line.find(what) != std::string::npos) ++count;
    }
    return count;
}

// ---- one match, as the module's SelectedMatch does it -------------------------------------------

struct Outcome {
    LineSeg seg;
    bool error = false;
};

Outcome run(const std::string& name, const Case& c) {
    Outcome out;
    try {
        const std::uint8_t* p1 = c.pixels.data();
        const std::uint8_t* p2 = p1 + static_cast<std::size_t>(c.rows1) * static_cast<std::size_t>(c.cols1);
        const auto image1 = talmek::ImageRows::borrow(p1, static_cast<std::size_t>(c.rows1),
                                                      static_cast<std::size_t>(c.cols1), c.cols1, 1);
        const auto image2 = talmek::ImageRows::borrow(p2, static_cast<std::size_t>(c.rows2),
                                                      static_cast<std::size_t>(c.cols2), c.cols2, 1);
        talmek::Matcher matcher = talmek::make_matcher(c.params, c.rows1, c.rows2);
        talmek::match_pair(matcher, image1, image2, out.seg, c.row, c.col);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: Error: %s\n", name.c_str(), e.what());
        std::fflush(stderr);
        out.error = true;
    }
    return out;
}

std::string result_row(const std::string& name, const Outcome& o, std::size_t no_solution) {
    const LineSeg& s = o.seg;
    const double reals[] = {s.get_length(), s.strength, s.displacement, s.rms_1, s.rms_2, s.x1, s.y1, s.x2, s.y2};
    std::string row = name + "\t" + std::to_string(s.active);
    for (double v : reals) row += "\t" + python_hex(v);
    row += "\t" + std::to_string(no_solution) + "\t" + (o.error ? "1" : "0");
    return row;
}

int run_cases(const fs::path& folder) {
    std::vector<fs::path> cases;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() == ".case") cases.push_back(entry.path());
    }
    std::sort(cases.begin(), cases.end());
    if (cases.empty()) throw std::runtime_error("no .case files in " + folder.string());

    CapturedStdout captured(fs::temp_directory_path() / "talmek_conformance_stdout.txt");
    std::fprintf(captured.rows(), "%s\n", kHeader);
    for (const fs::path& path : cases) {
        const Case c = read_case(path);
        captured.take();
        const Outcome o = run(path.filename().string(), c);
        const std::size_t no_solution = count_lines_with(captured.take(), kNoSolution);
        std::fprintf(captured.rows(), "%s\n", result_row(path.filename().string(), o, no_solution).c_str());
    }
    return 0;
}

// ---- comparison ---------------------------------------------------------------------------------

std::map<std::string, std::vector<std::string>> read_table(const fs::path& path, std::vector<std::string>& header) {
    std::map<std::string, std::vector<std::string>> rows;
    std::istringstream in(read_file(path));
    std::string line;
    bool first = true;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::vector<std::string> cells = split(line, '\t');
        if (first) {
            header = cells;
            first = false;
        } else if (!cells.empty()) {
            rows[cells[0]] = cells;
        }
    }
    return rows;
}

int compare(const fs::path& expected_path, const fs::path& results_path, const std::string& label) {
    std::vector<std::string> header, ignored;
    const auto expected = read_table(expected_path, header);
    const auto results = read_table(results_path, ignored);
    std::size_t identical = 0;
    for (const auto& [name, want] : expected) {
        const auto found = results.find(name);
        if (found == results.end()) {
            std::printf("%s: %s has no result\n", label.c_str(), name.c_str());
            continue;
        }
        const std::vector<std::string>& got = found->second;
        bool same = got.size() == want.size();
        for (std::size_t k = 1; k < want.size(); ++k) {
            const std::string g = k < got.size() ? got[k] : "(missing)";
            if (g != want[k]) {
                same = false;
                std::printf("%s: %s %s = %s, expected %s\n", label.c_str(), name.c_str(),
                            k < header.size() ? header[k].c_str() : "?", g.c_str(), want[k].c_str());
            }
        }
        if (same) ++identical;
    }
    std::printf("%s: %zu/%zu conformance cases bit-identical\n", label.c_str(), identical, expected.size());
    return identical == expected.size() && !expected.empty() ? 0 : 1;
}

// Applies --kernel NAME and --schedule NAME from argv[first..] and returns the index of the first
// other argument.
int force_transform(int argc, char** argv, int first) {
    std::optional<talmek::Kernel> kernel;
    std::optional<talmek::Schedule> schedule;
    int k = first;
    for (; k + 1 < argc; k += 2) {
        const std::string option = argv[k];
        const std::string name = argv[k + 1];
        if (option == "--kernel") {
            kernel = talmek::kernel_named(name);
            if (!kernel) throw std::invalid_argument("no kernel build is called '" + name + "' (baseline, avx2, avx512)");
        } else if (option == "--schedule") {
            schedule = talmek::schedule_named(name);
            if (!schedule) {
                throw std::invalid_argument("no transform schedule is called '" + name +
                                            "' (rows, pairs, strips_l1, strips_l2)");
            }
        } else {
            break;
        }
    }
    talmek::detail::force_fft(kernel, schedule);
    return k;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        if (argc >= 4 && std::strcmp(argv[1], "--compare") == 0) {
            return compare(argv[2], argv[3], argc >= 5 ? argv[4] : "results");
        }
        if (argc >= 2 && std::strcmp(argv[1], "--compare") != 0) {
            const int rest = force_transform(argc, argv, 1);
            if (rest == argc - 1 && std::strncmp(argv[rest], "--", 2) != 0) return run_cases(argv[rest]);
        }
        std::fprintf(stderr,
                     "usage: %s [--kernel NAME] [--schedule NAME] CASES_DIR | --compare EXPECTED RESULTS [LABEL]\n",
                     argv[0]);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "conformance_native: %s\n", e.what());
        return 2;
    }
}
