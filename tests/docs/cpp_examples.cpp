// Compiles the C++ examples of a Markdown document against the embedding
// library, and runs the complete programs among them:
//   cpp_examples <document.md> <work dir> <script library dir/> <c++> <libzorvik.a>
//                <include dir> [compiler flags...]
//
// Every ```cpp block is compiled with the given compiler and flags (those of
// the build), with <zorvik.h> from the include directory and the macro
// ZORVIK_SCRIPT_LIBRARY_DIR naming the script library, as a host has it:
//   ```cpp             a fragment: statements, compiled as the body of a
//                      function of its own; all fragments of the document
//                      share one translation unit, which includes <zorvik.h>
//                      and the standard headers listed in kFragmentHeaders.
//                      #include lines in a fragment are moved to the top of
//                      the unit. Fragments are compiled, not linked or run;
//                      unused variables and functions are allowed in them
//   ```cpp shared      declarations (types, functions, objects) at namespace
//                      scope of the fragments' unit, seen by the fragments
//                      after them: the host's own names that fragments use
//   ```cpp with `int main(`
//                      a complete program: compiled alone, linked with the
//                      library and run in a fresh directory that holds the
//                      ```zorvik file=NAME blocks above it; it must exit with
//                      0, and its standard output must be the ```output block
//                      that follows it (empty without one)
// The code keeps the document's line numbers (#line), so a compiler
// diagnostic names the document's line; every block that fails is reported
// as <document>:<line of its fence>. A document without ```cpp blocks is an
// error: the test would check nothing.
//
// With --header=PATH first, every name that the header declares (ZK_...
// and ERROR_EXIT) must be used in a ```cpp block, so that each part of
// the interface has an example that compiles.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

// What every fragment may use without including it.
constexpr const char* kFragmentHeaders[] = {
    "pthread.h", "zorvik.h", "algorithm", "csignal",     "cstdio", "cstdlib",
    "cstring",   "memory",   "string",    "string_view", "thread", "vector",
};

struct Block {
    std::string kind;                // the first word of the info string
    std::vector<std::string> words;  // the others
    std::string text;
    int line = 0;  // of the opening fence
    bool Has(const std::string& word) const { return std::find(words.begin(), words.end(), word) != words.end(); }
};

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::stringstream in(text);
    std::string part;
    while (std::getline(in, part, separator)) parts.push_back(part);
    return parts;
}

// The indentation of a fence line (a block in a list item is indented),
// or npos for another line.
size_t Fence(const std::string& line) {
    size_t indent = line.find_first_not_of(' ');
    return indent != std::string::npos && line.compare(indent, 3, "```") == 0 ? indent : std::string::npos;
}

std::vector<Block> Blocks(const std::string& text) {
    std::vector<std::string> lines = Split(text, '\n');
    std::vector<Block> blocks;
    for (size_t i = 0; i < lines.size(); ++i) {
        size_t indent = Fence(lines[i]);
        if (indent == std::string::npos) continue;
        Block b;
        b.line = static_cast<int>(i + 1);
        std::vector<std::string> words = Split(lines[i].substr(indent + 3), ' ');
        if (!words.empty()) b.kind = words[0];
        b.words.assign(words.begin() + (words.empty() ? 0 : 1), words.end());
        for (++i; i < lines.size() && Fence(lines[i]) == std::string::npos; ++i) {
            size_t strip = std::min(indent, lines[i].find_first_not_of(' ') == std::string::npos
                                                ? lines[i].size()
                                                : lines[i].find_first_not_of(' '));
            b.text += lines[i].substr(strip) + "\n";
        }
        blocks.push_back(b);
    }
    return blocks;
}

// A command to run, with what it writes going to `log`.
struct Job {
    std::vector<std::string> argv;
    fs::path log;
    fs::path dir;  // working directory; empty: this one
    int status = -1;
};

pid_t Start(const Job& job) {
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (!job.dir.empty() && chdir(job.dir.c_str()) != 0) _exit(127);
    int in = open("/dev/null", O_RDONLY);
    int out = open(job.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(out, 1);
    dup2(out, 2);
    std::vector<const char*> argv;
    for (const std::string& a : job.argv) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    execvp(argv[0], const_cast<char* const*>(argv.data()));
    _exit(127);
}

// Runs the jobs, two at a time (the machines that run the suite have two
// cores), and sets their statuses.
void RunAll(std::vector<Job>& jobs) {
    constexpr size_t kParallel = 2;
    std::vector<std::pair<pid_t, size_t>> running;
    size_t next = 0;
    while (next < jobs.size() || !running.empty()) {
        while (next < jobs.size() && running.size() < kParallel) {
            running.emplace_back(Start(jobs[next]), next);
            ++next;
        }
        int raw = 0;
        pid_t done = wait(&raw);
        auto it = std::find_if(running.begin(), running.end(), [done](const auto& r) { return r.first == done; });
        if (it == running.end()) continue;
        jobs[it->second].status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        running.erase(it);
    }
}

class Checker {
  public:
    Checker(fs::path doc, fs::path dir, std::string libraryDir, std::string cxx, std::string library,
            std::string include, std::vector<std::string> flags)
        : doc_(std::move(doc)),
          dir_(std::move(dir)),
          libraryDir_(std::move(libraryDir)),
          cxx_(std::move(cxx)),
          library_(std::move(library)),
          include_(std::move(include)),
          flags_(std::move(flags)) {}

    int failures = 0;
    int fragments = 0;
    int programs = 0;

    void Fail(int line, const std::string& what) {
        std::cout << doc_.string() << ":" << line << ": " << what << "\n";
        ++failures;
    }

    void Document(const std::vector<Block>& blocks) {
        std::vector<Job> jobs;
        std::vector<const Block*> jobBlocks;
        std::vector<const Block*> outputs;
        std::string unit = FragmentUnit(blocks);
        if (!unit.empty()) {
            std::ofstream(dir_ / "fragments.cpp", std::ios::binary) << unit;
            std::vector<std::string> argv = Compiler();
            for (const char* w : {"-Wno-unused-variable", "-Wno-unused-but-set-variable", "-Wno-unused-function"})
                argv.emplace_back(w);
            for (const char* w : {"-c", "-o"}) argv.emplace_back(w);
            argv.push_back((dir_ / "fragments.o").string());
            argv.push_back((dir_ / "fragments.cpp").string());
            jobs.push_back({argv, dir_ / "fragments.log", {}});
            jobBlocks.push_back(nullptr);
            outputs.push_back(nullptr);
        }
        for (size_t k = 0; k < blocks.size(); ++k) {
            const Block& b = blocks[k];
            if (b.kind != "cpp" || !IsProgram(b)) continue;
            ++programs;
            const Block* output = k + 1 < blocks.size() && blocks[k + 1].kind == "output" ? &blocks[k + 1] : nullptr;
            std::string name = "program_" + std::to_string(b.line);
            std::ofstream(dir_ / (name + ".cpp"), std::ios::binary) << Located(b) << b.text;
            std::vector<std::string> argv = Compiler();
            argv.push_back((dir_ / (name + ".cpp")).string());
            argv.emplace_back("-o");
            argv.push_back((dir_ / name).string());
            argv.push_back(library_);
            argv.emplace_back("-pthread");
            jobs.push_back({argv, dir_ / (name + ".log"), {}});
            jobBlocks.push_back(&b);
            outputs.push_back(output);
        }
        if (jobs.empty()) {
            Fail(1, "no ```cpp block: nothing to check");
            return;
        }
        RunAll(jobs);
        std::vector<Job> runs;
        std::vector<size_t> runOf;
        for (size_t j = 0; j < jobs.size(); ++j) {
            if (!jobBlocks[j]) {
                if (jobs[j].status != 0) FragmentsFailed(blocks, ReadAll(jobs[j].log));
                continue;
            }
            if (jobs[j].status != 0) {
                Fail(jobBlocks[j]->line, "the program does not compile:\n" + ReadAll(jobs[j].log));
                continue;
            }
            runs.push_back(RunJob(blocks, *jobBlocks[j]));
            runOf.push_back(j);
        }
        RunAll(runs);
        for (size_t r = 0; r < runs.size(); ++r) {
            const Block& b = *jobBlocks[runOf[r]];
            const Block* output = outputs[runOf[r]];
            std::string out = ReadAll(runs[r].dir / "stdout");
            std::string expected = output ? output->text : "";
            if (runs[r].status == 0 && out == expected) continue;
            std::ostringstream what;
            what << "the program printed\n"
                 << out << "--- instead of ---\n"
                 << expected << "--- (status " << runs[r].status << ", standard error:\n"
                 << ReadAll(runs[r].log) << ")";
            Fail(b.line, what.str());
        }
    }

    // The names of the header that no ```cpp block uses.
    void Covers(const std::vector<Block>& blocks, const std::string& header) {
        std::string code;
        for (const Block& b : blocks)
            if (b.kind == "cpp") code += b.text;
        static const std::regex kName(R"(\b(ZK_[A-Za-z_]+|ERROR_EXIT)\b)");
        std::set<std::string> names;
        for (std::sregex_iterator it(header.begin(), header.end(), kName), end; it != end; ++it) names.insert((*it)[1]);
        for (const std::string& name : names)
            if (!std::regex_search(code, std::regex("\\b" + name + "\\b")))
                Fail(1, name + " is declared in the header but no ```cpp block uses it");
        covered = names.size();
    }

    size_t covered = 0;

  private:
    static bool IsProgram(const Block& b) { return !b.Has("shared") && b.text.find("int main(") != std::string::npos; }

    std::string Located(const Block& b) const {
        return "#line " + std::to_string(b.line + 1) + " \"" + doc_.string() + "\"\n";
    }

    std::vector<std::string> Compiler() const {
        std::vector<std::string> argv{cxx_};
        argv.insert(argv.end(), flags_.begin(), flags_.end());
        argv.push_back("-I" + include_);
        argv.push_back("-DZORVIK_SCRIPT_LIBRARY_DIR=\"" + libraryDir_ + "\"");
        return argv;
    }

    // The translation unit of the shared blocks and the fragments, in the
    // document's order; empty when there is no fragment.
    std::string FragmentUnit(const std::vector<Block>& blocks) {
        std::set<std::string> includes;
        std::string body;
        for (const Block& b : blocks) {
            if (b.kind != "cpp" || IsProgram(b)) continue;
            std::string text;
            for (const std::string& line : Split(b.text, '\n')) {
                bool include = line.rfind("#include", 0) == 0;
                if (include) includes.insert(line);
                text += (include ? "" : line) + "\n";  // the line stays, so that the numbers do
            }
            if (b.Has("shared")) {
                body += Located(b) + text;
            } else {
                ++fragments;
                body += "[[maybe_unused]] static void Fragment" + std::to_string(b.line) + "() {\n" + Located(b) +
                        text + "}\n";
            }
        }
        if (fragments == 0) return "";
        std::string unit = "// Generated from " + doc_.string() + " by cpp_examples: its fragments.\n";
        for (const char* header : kFragmentHeaders) unit += std::string("#include <") + header + ">\n";
        for (const std::string& include : includes) unit += include + "\n";
        return unit + body;
    }

    // The blocks whose lines the compiler's diagnostics name.
    void FragmentsFailed(const std::vector<Block>& blocks, const std::string& log) {
        std::set<int> failed;
        std::regex located(std::regex_replace(doc_.string(), std::regex(R"([.^$|()\[\]{}*+?\\])"), R"(\$&)") +
                           R"(:([0-9]+):[0-9]+: error)");
        for (std::sregex_iterator it(log.begin(), log.end(), located), end; it != end; ++it) {
            int line = std::stoi((*it)[1]);
            int start = 0;
            for (const Block& b : blocks)
                if (b.kind == "cpp" && b.line < line) start = b.line;
            failed.insert(start);
        }
        if (failed.empty()) failed.insert(0);
        for (int line : failed) Fail(line, "the block does not compile");
        std::cout << log;
    }

    // The run of a compiled program in a directory of its own that holds the
    // script files of the document above it.
    Job RunJob(const std::vector<Block>& blocks, const Block& program) {
        fs::path run = dir_ / ("run_" + std::to_string(program.line));
        fs::remove_all(run);
        fs::create_directories(run);
        for (const Block& b : blocks) {
            if (b.line > program.line) break;
            for (const std::string& word : b.words)
                if (b.kind == "zorvik" && word.rfind("file=", 0) == 0)
                    std::ofstream(run / word.substr(5), std::ios::binary) << b.text;
        }
        std::string binary = (dir_ / ("program_" + std::to_string(program.line))).string();
        return {{"sh", "-c", "exec \"$0\" >stdout", binary}, run / "stderr", run};
    }

    fs::path doc_;
    fs::path dir_;
    std::string libraryDir_, cxx_, library_, include_;
    std::vector<std::string> flags_;
};

}  // namespace

int main(int argc, char** argv) {
    std::string header;
    if (argc > 1 && std::string(argv[1]).rfind("--header=", 0) == 0) {
        header = ReadAll(argv[1] + 9);
        if (header.empty()) {
            std::cerr << "cpp_examples: cannot read " << argv[1] + 9 << "\n";
            return 2;
        }
        --argc;
        ++argv;
    }
    if (argc < 7) {
        std::cerr << "usage: cpp_examples [--header=zorvik.h] <document.md> <work dir> <script library dir/> <c++> "
                     "<libzorvik.a> "
                     "<include dir> [compiler flags...]\n";
        return 2;
    }
    fs::path doc = argv[1], dir = fs::absolute(argv[2]);
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir);
    Checker checker(doc, dir, argv[3], argv[4], argv[5], argv[6], std::vector<std::string>(argv + 7, argv + argc));
    std::vector<Block> blocks = Blocks(ReadAll(doc));
    if (!header.empty()) checker.Covers(blocks, header);
    checker.Document(blocks);
    std::cout << doc.string() << ": " << checker.fragments << " fragments compiled, " << checker.programs
              << " programs compiled and run";
    if (!header.empty()) std::cout << ", " << checker.covered << " names of the header used";
    std::cout << ", " << checker.failures << " wrong\n";
    return checker.failures == 0 ? 0 : 1;
}
