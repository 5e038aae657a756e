// Runs one zorvik script test and compares its output with the expectations
// written in the script's own comments:
//
//   // expect: <line>             one line of standard output, in order
//   // expect error: <message>    the run ends with "ERROR (<file>:<l>:<c>) <message>"
//   // expect error (7:3): <message>         ... at line 7, column 3
//   // expect error (lib.z:7:3): <message>   ... in the file lib.z (the main
//                                             script may be named by its base name)
//   // expect exit: <text>        the run ends with this exit message line
//   // expect no newline          the last expected line has no line break
//   // expect status: <n>         the process status (default: 1 after an
//                                 error, else 0); may also end another
//                                 expectation's line
//
// A run without an error must leave standard error empty.
//
// A line starting with "// ===" begins a new case: each case runs as a
// script of its own (the other cases' lines blanked, so line numbers stay),
// from a directory that also holds the test's `_*.z` helper files.
//
// The interpreter runs in a fresh temporary working directory, with the
// test's `<name>.in` file (if any) as standard input. With
// `--expect-file F` the whole expected output is the content of F instead.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Expectation {
    std::string output;  // expected standard output before any error line
    bool hasError = false;
    std::string errorWhere;  // "", "l:c" or "file:l:c"
    std::string errorMessage;
    int status = -1;  // -1: the default for the outcome
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

Expectation ParseExpectations(const std::string& script) {
    Expectation e;
    std::vector<std::string> lines;
    bool noNewline = false;
    std::istringstream in(script);
    std::string line;
    while (std::getline(in, line)) {
        size_t at = line.find("// expect");
        if (at == std::string::npos) continue;
        std::string rest = line.substr(at + 9);
        // A status may follow another expectation on the same line.
        size_t status = rest.find(" // expect status: ");
        if (status != std::string::npos) {
            e.status = std::stoi(rest.substr(status + 19));
            rest.erase(status);
        }
        if (rest.rfind(": ", 0) == 0) {
            lines.push_back(rest.substr(2));
        } else if (rest == ":") {
            lines.emplace_back();
        } else if (rest.rfind(" exit: ", 0) == 0) {
            lines.push_back(rest.substr(7));
        } else if (rest == " no newline") {
            noNewline = true;
        } else if (rest.rfind(" status: ", 0) == 0) {
            e.status = std::stoi(rest.substr(9));
        } else if (rest.rfind(" error", 0) == 0) {
            e.hasError = true;
            std::string detail = rest.substr(6);
            if (detail.rfind(" (", 0) == 0) {
                size_t close = detail.find("):");
                e.errorWhere = detail.substr(2, close - 2);
                detail = detail.substr(close + 1);
            }
            e.errorMessage = detail.rfind(": ", 0) == 0 ? detail.substr(2) : detail;
        }
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        e.output += lines[i];
        if (i + 1 < lines.size() || !noNewline) e.output += '\n';
    }
    return e;
}

// Runs the interpreter and returns its standard output and exit status; its
// standard error goes to the file `errors`.
std::string Run(const std::string& zorvik, const fs::path& script, const fs::path& dir, const fs::path& errors,
                int& status) {
    int out[2];
    if (pipe(out) != 0) std::exit(2);
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(127);
        fs::path input = script;
        input.replace_extension(".in");
        int in = open(fs::exists(input) ? input.c_str() : "/dev/null", O_RDONLY);
        int err = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out[1], 1);
        dup2(err, 2);
        close(out[0]);
        close(out[1]);
        execl(zorvik.c_str(), zorvik.c_str(), script.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string output;
    char buf[65536];
    ssize_t n;
    while ((n = read(out[0], buf, sizeof buf)) > 0) output.append(buf, static_cast<size_t>(n));
    close(out[0]);
    int raw = 0;
    waitpid(pid, &raw, 0);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    return output;
}

bool ErrorLineMatches(const std::string& line, const Expectation& e, const fs::path& script) {
    std::string head = "ERROR (";
    std::string tail = ") " + e.errorMessage;
    if (line.rfind(head, 0) != 0 || line.size() < head.size() + tail.size() ||
        line.compare(line.size() - tail.size(), tail.size(), tail) != 0)
        return false;
    std::string where = line.substr(head.size(), line.size() - head.size() - tail.size());
    if (e.errorWhere.empty()) return true;
    // The position: "l:c" at the end of `where`; the file, all before it.
    size_t colon = where.rfind(':');
    colon = colon == std::string::npos ? colon : where.rfind(':', colon - 1);
    if (colon == std::string::npos) return false;
    std::string file = where.substr(0, colon), pos = where.substr(colon + 1);
    size_t expectedColon = e.errorWhere.rfind(':');
    expectedColon = e.errorWhere.rfind(':', expectedColon - 1);
    if (expectedColon == std::string::npos) return pos == e.errorWhere;
    std::string expectedFile = e.errorWhere.substr(0, expectedColon);
    bool fileOk = file == expectedFile || (file == script.string() && expectedFile == script.filename().string());
    return fileOk && pos == e.errorWhere.substr(expectedColon + 1);
}

// Splits a test into its cases, blanking the lines of the other cases.
std::vector<std::string> SplitCases(const std::string& script) {
    std::vector<std::string> lines;
    std::istringstream in(script);
    std::string line;
    std::vector<size_t> caseOf;
    size_t current = 0;
    while (std::getline(in, line)) {
        if (line.rfind("// ===", 0) == 0) ++current;
        lines.push_back(line);
        caseOf.push_back(current);
    }
    std::vector<std::string> cases;
    for (size_t c = 0; c <= current; ++c) {
        std::string text;
        bool any = false;
        for (size_t i = 0; i < lines.size(); ++i) {
            if (caseOf[i] == c) {
                text += lines[i];
                any = any || (!lines[i].empty() && lines[i].rfind("// ===", 0) != 0);
            }
            text += '\n';
        }
        if (any || current == 0) cases.push_back(text);
    }
    return cases;
}

bool Check(const std::string& zorvik, const fs::path& script, const Expectation& e, const std::string& label) {
    char pattern[] = "/tmp/zorvik-test-XXXXXX";
    if (!mkdtemp(pattern)) std::exit(2);
    fs::path dir = pattern;
    fs::create_directory(dir / "work");
    int status = 0;
    std::string output = Run(zorvik, script, dir / "work", dir / "stderr", status);
    std::string errors = ReadAll(dir / "stderr");
    std::error_code ec;
    fs::remove_all(dir, ec);

    int expectedStatus = e.status >= 0 ? e.status : e.hasError ? 1 : 0;
    bool ok = status == expectedStatus && (e.hasError || errors.empty()) && output.rfind(e.output, 0) == 0;
    std::string rest = ok ? output.substr(e.output.size()) : "";
    if (ok && e.hasError) {
        ok = !rest.empty() && rest.back() == '\n' && ErrorLineMatches(rest.substr(0, rest.size() - 1), e, script) &&
             rest.find('\n') == rest.size() - 1;
    } else if (ok) {
        ok = rest.empty();
    }
    if (ok) return true;
    std::cout << "FAIL " << label << " (status " << status << ")\n--- expected output ---\n" << e.output;
    if (e.hasError)
        std::cout << "ERROR (" << (e.errorWhere.empty() ? "*" : e.errorWhere) << ") " << e.errorMessage << "\n";
    std::cout << "--- actual output ---\n" << output << "--- standard error ---\n" << errors << "--- end ---\n";
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::string expectFile;
    int arg = 1;
    if (argc > 2 && std::string(argv[1]) == "--expect-file") {
        expectFile = argv[2];
        arg = 3;
    }
    if (argc - arg != 2) {
        std::cerr << "usage: script_runner [--expect-file F] <zorvik> <script.z>\n";
        return 2;
    }
    std::string zorvik = fs::absolute(argv[arg]).string();
    fs::path script = fs::absolute(argv[arg + 1]);
    std::string text = ReadAll(script);
    if (!expectFile.empty()) {
        Expectation e;
        e.output = ReadAll(expectFile);
        return Check(zorvik, script, e, script.string()) ? 0 : 1;
    }
    std::vector<std::string> cases = SplitCases(text);
    if (cases.size() == 1) return Check(zorvik, script, ParseExpectations(text), script.string()) ? 0 : 1;

    // Each case runs from a directory of its own that holds the helpers too.
    char pattern[] = "/tmp/zorvik-cases-XXXXXX";
    if (!mkdtemp(pattern)) return 2;
    fs::path caseDir = pattern;
    for (const auto& entry : fs::directory_iterator(script.parent_path()))
        if (entry.path().filename().string().rfind('_', 0) == 0)
            fs::copy(entry.path(), caseDir / entry.path().filename());
    fs::path input = script;
    input.replace_extension(".in");
    if (fs::exists(input)) fs::copy(input, caseDir / input.filename());
    bool ok = true;
    for (size_t i = 0; i < cases.size(); ++i) {
        fs::path file = caseDir / script.filename();
        std::ofstream(file, std::ios::binary | std::ios::trunc) << cases[i];
        ok = Check(zorvik, file, ParseExpectations(cases[i]), script.string() + " case " + std::to_string(i + 1)) && ok;
    }
    std::error_code ec;
    fs::remove_all(caseDir, ec);
    return ok ? 0 : 1;
}
