// Checks that the examples of a Markdown document run and print what the
// text says:  doc_examples <zorvik> <document.md>
//
// Fenced blocks must name their kind:
//   ```zorvik            a script: it runs, and its standard output must be
//                        the following ```output block (empty without one);
//                        the status must be 0, or 1 when the expected output
//                        ends in an ERROR line; standard error must be empty
//                        unless it does
//   ```zorvik file=NAME  a file that later scripts of the document import
//   ```zorvik args=A,B   a script run with the arguments A and B
//   ```input             standard input of the script before it
//   ```output            expected output of the script before it
//   ```text, ```sh, ...  not zorvik: shown, not run
//   ```cpp               C++: compiled, and when it is a program run with
//                        its ```output block, by cpp_examples
// A block without a kind is an error, so that no example goes unchecked by
// oversight.
//
// Lines that begin with a claim about a library call,
//   `m.sqrt(16)` is 4; `st.charAt("abc", 1)` is "b"; `m.exp(1)` is 2.718282...
// are checked too: the call runs with the script library imported as s, m,
// st, ar and fl; a number ending in "..." is the value rounded to its digits.
// A line that begins with a statement in backticks (`h = fl.create("a");`) is
// a usage example whose variables are not set up: it must run with the
// library imported, or fail inside the library (a wrong argument), never in
// its own text (a syntax error, a misspelt function); followed by "is an
// error", it must fail in its own text.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Block {
    std::string kind;  // the first word of the info string
    std::string file;  // file=NAME
    std::vector<std::string> args;
    std::string text;
    int line = 0;  // of the opening fence
};

struct Result {
    std::string out, err;
    int status = 0;
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs zorvik on `script` in `dir`, with `input` as standard input.
Result Run(const std::string& zorvik, const fs::path& dir, const std::string& script,
           const std::vector<std::string>& args, const std::string& input) {
    std::ofstream(dir / ".input", std::ios::binary) << input;
    pid_t pid = fork();
    if (pid == 0) {
        if (chdir(dir.c_str()) != 0) _exit(127);
        int in = open(".input", O_RDONLY);
        int out = open(".stdout", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(".stderr", O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        std::vector<const char*> argv{zorvik.c_str(), script.c_str()};
        for (const std::string& a : args) argv.push_back(a.c_str());
        argv.push_back(nullptr);
        execv(zorvik.c_str(), const_cast<char* const*>(argv.data()));
        _exit(127);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    Result r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    r.out = ReadAll(dir / ".stdout");
    r.err = ReadAll(dir / ".stderr");
    return r;
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, separator)) parts.push_back(part);
    return parts;
}

class Checker {
  public:
    Checker(std::string zorvik, fs::path doc, fs::path dir)
        : zorvik_(std::move(zorvik)), doc_(std::move(doc)), dir_(std::move(dir)) {}

    int failures = 0;
    int checked = 0;

    void Fail(int line, const std::string& what) {
        std::cout << doc_.string() << ":" << line << ": " << what << "\n";
        ++failures;
    }

    void Document(const std::string& text) {
        std::vector<std::string> lines = Split(text, '\n');
        std::vector<Block> blocks;
        for (size_t i = 0; i < lines.size(); ++i) {
            const std::string& line = lines[i];
            if (line.rfind("```", 0) != 0) {
                if (!Claims(line, static_cast<int>(i + 1))) Usage(line, static_cast<int>(i + 1));
                continue;
            }
            Block b;
            b.line = static_cast<int>(i + 1);
            std::vector<std::string> words = Split(line.substr(3), ' ');
            for (size_t w = 0; w < words.size(); ++w) {
                if (w == 0)
                    b.kind = words[0];
                else if (words[w].rfind("file=", 0) == 0)
                    b.file = words[w].substr(5);
                else if (words[w].rfind("args=", 0) == 0)
                    b.args = Split(words[w].substr(5), ',');
            }
            for (++i; i < lines.size() && lines[i].rfind("```", 0) != 0; ++i) b.text += lines[i] + "\n";
            if (i == lines.size()) Fail(b.line, "unclosed block");
            blocks.push_back(b);
        }
        for (size_t k = 0; k < blocks.size(); ++k) {
            const Block& b = blocks[k];
            if (b.kind.empty()) {
                Fail(b.line, "block without a kind: mark it zorvik, output, input or text");
            } else if (b.kind == "zorvik") {
                const Block* input = nullptr;
                const Block* output = nullptr;
                if (k + 1 < blocks.size() && blocks[k + 1].kind == "input") input = &blocks[++k];
                if (k + 1 < blocks.size() && blocks[k + 1].kind == "output") output = &blocks[++k];
                Script(b, input, output);
            } else if (b.kind == "cpp") {
                if (k + 1 < blocks.size() && blocks[k + 1].kind == "output") ++k;  // cpp_examples checks it
            } else if (b.kind == "input" || b.kind == "output") {
                Fail(b.line, "```" + b.kind + " block that follows no zorvik block");
            }
        }
    }

  private:
    void Script(const Block& b, const Block* input, const Block* output) {
        if (!b.file.empty()) {
            std::ofstream(dir_ / b.file, std::ios::binary) << b.text;
            if (output) Fail(output->line, "a file=... block prints nothing");
            return;
        }
        ++checked;
        std::ofstream(dir_ / "example.z", std::ios::binary) << b.text;
        Result r = Run(zorvik_, dir_, "example.z", b.args, input ? input->text : "");
        std::string expected = output ? output->text : "";
        bool error = expected.rfind("ERROR (") != std::string::npos &&
                     expected.find('\n', expected.rfind("ERROR (")) == expected.size() - 1;
        if (r.out != expected || r.status != (error ? 1 : 0) || (!error && !r.err.empty()))
            Fail(b.line, "the example printed\n" + r.out + "--- instead of ---\n" + expected + "--- (status " +
                             std::to_string(r.status) + ", standard error: " + r.err + ")");
    }

    static constexpr const char* kPrelude =
        "s := import(\"sys.z\"); m := import(\"math.z\"); st := import(\"string.z\");\n"
        "ar := import(\"array.z\"); fl := import(\"file.z\");\n";

    // `call(...)` is VALUE [; `call(...)` is VALUE ...] at the start of a line.
    bool Claims(const std::string& line, int number) {
        static const std::regex kLineStart(R"(^`[^`]*\([^`]*` is )");
        static const std::regex kClaim(R"(`([^`]*\([^`]*)` is (-?[0-9]+(\.[0-9]+)?(\.\.\.)?|"[^"]*"))");
        if (!std::regex_search(line, kLineStart)) return false;
        bool any = false;
        for (std::sregex_iterator it(line.begin(), line.end(), kClaim), end; it != end; ++it) {
            any = true;
            Claim((*it)[1], (*it)[2], number);
        }
        if (!any) Fail(number, "a claim whose value is neither a number nor a quoted string: " + line);
        return true;
    }

    void Usage(const std::string& line, int number) {
        static const std::regex kStatement(R"(^`([^`]*;[^`]*)`( is an error)?)");
        std::smatch match;
        if (!std::regex_search(line, match, kStatement)) return;
        ++checked;
        std::ofstream(dir_ / "usage.z", std::ios::binary) << kPrelude << match[1] << "\n";
        Result r = Run(zorvik_, dir_, "usage.z", {}, "");
        bool ownError = r.out.find("ERROR (usage.z:") != std::string::npos;
        if (match[2].matched && !ownError)
            Fail(number, "the example said to be an error runs: " + r.out);
        else if (!match[2].matched && (ownError || (r.status != 0 && r.out.find("ERROR (") == std::string::npos)))
            Fail(number, "the usage example fails in its own text: " + r.out + r.err);
    }

    void Claim(const std::string& expr, const std::string& value, int number) {
        ++checked;
        std::string script =
            std::string(kPrelude) + "v = " + expr +
            ";\n"
            "if (isnumber(v)) { s.wln(\"N\" + tostring(v, 12)); } else if (isstring(v)) { s.wln(\"S\" + v); }\n";
        std::ofstream(dir_ / "claim.z", std::ios::binary) << script;
        Result r = Run(zorvik_, dir_, "claim.z", {}, "");
        std::string got = r.out.empty() ? "" : r.out.substr(0, r.out.size() - 1);
        bool ok = false;
        if (value[0] == '"') {
            ok = got == "S" + value.substr(1, value.size() - 2);
        } else if (got.rfind('N', 0) == 0) {
            bool rounded = value.size() > 3 && value.compare(value.size() - 3, 3, "...") == 0;
            std::string digits = rounded ? value.substr(0, value.size() - 3) : value;
            size_t point = digits.find('.');
            int decimals = point == std::string::npos ? 0 : static_cast<int>(digits.size() - point - 1);
            double x = std::strtod(got.c_str() + 1, nullptr), want = std::strtod(digits.c_str(), nullptr);
            double tolerance = rounded ? 0.5 * std::pow(10.0, -decimals) : 1e-9 * std::max(1.0, std::fabs(want));
            ok = std::fabs(x - want) <= tolerance + 1e-12;
        }
        if (!ok || r.status != 0)
            Fail(number, "`" + expr + "` gives " + got + " (status " + std::to_string(r.status) + "), not " + value);
    }

    std::string zorvik_;
    fs::path doc_;
    fs::path dir_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: doc_examples <zorvik> <document.md>\n";
        return 2;
    }
    char pattern[] = "/tmp/zorvik-doc-XXXXXX";
    if (!mkdtemp(pattern)) return 2;
    fs::path dir = pattern;
    Checker checker(fs::absolute(argv[1]).string(), argv[2], dir);
    checker.Document(ReadAll(argv[2]));
    std::error_code ec;
    fs::remove_all(dir, ec);
    std::cout << argv[2] << ": " << checker.checked << " examples and claims checked, " << checker.failures
              << " wrong\n";
    return checker.failures == 0 ? 0 : 1;
}
