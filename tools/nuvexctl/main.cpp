// nuvexctl: the administrator's command-line tool for the Nuvex drivers. It uses the library
// only through its public header and exports, as any management program would.
#include <chrono>
#include <csignal>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "commands.h"
#include "output.h"
#include "reference.h"
#include "suggest.h"
#include "text.h"

int main(int argc, char** argv) {
    using namespace nuvexctl;
#if !defined(_WIN32)
    // A closed pipe (`nuvexctl log show | head`) is a failed write that the tool reports, not
    // a signal that ends it in the middle of a verb.
    std::signal(SIGPIPE, SIG_IGN);
#endif
    // --json counts from the start, so that even a command line that cannot be parsed gets its
    // one JSON document.
    for (int i = 1; i < argc; ++i)
        if (std::strcmp(argv[i], "--json") == 0) CurrentSettings().json = true;
    // On Windows the arguments are taken from the system's UTF-16 command line: one the ANSI
    // code page cannot write exactly is refused rather than replaced by a look-alike.
    std::vector<std::string> words;
    std::string refused;
    if (!ExactArguments(argc, argv, words, refused))
        return ReportError("the argument '" + refused + "' cannot be used: " + kNotInCodePage, kExitUsage);
    std::vector<char*> exact{argv[0]};
    for (auto& word : words) exact.push_back(word.data());
    exact.push_back(nullptr);
    argc = static_cast<int>(words.size()) + 1;
    argv = exact.data();

    int status = kExitOk;
    try {
        CLI::App app{"nuvexctl - control the Nuvex document-protection drivers"};
        app.set_help_all_flag("--help-all", "Show help for every verb");
        app.require_subcommand(1);
        app.fallthrough();
        app.add_flag("--json", CurrentSettings().json, "Print one JSON document instead of tables");
        app.add_flag("-q,--quiet", CurrentSettings().quiet,
                     "No progress and no confirmations; results and errors are still shown");
        app.add_flag("-v,--verbose", CurrentSettings().verbose, "Also say what the run does, step by step, on standard error");
        app.set_version_flag("--version", "nuvexctl " NUVEXCTRL_VERSION, "Print the version and exit");
        app.footer(Example(
            "nuvexctl status\n"
            "  nuvexctl doc encrypt --key-file document.key report.txt\n"
            "  nuvexctl --json policy list"));

        AddStatusCommands(app);
        AddDriverCommands(app);
        AddLogCommands(app);
        AddDocumentCommands(app);
        AddPolicyCommands(app);
        AddAclCommands(app);
        AddPassPathCommands(app);
        AddKeyCommands(app);
        AddListCommands(app);
        AddStateCommands(app);
        AddDemoCommand(app);
        AddCodesCommand(app);
        AddReferenceCommands(app);

        // With --verbose, the verb chosen and, at the end, its status and how long it took.
        const auto started = std::chrono::steady_clock::now();
        std::string chosen;
        app.parse_complete_callback([&app, &chosen] {
            const CLI::App* verb = &app;
            for (auto parsed = verb->get_subcommands(); !parsed.empty(); parsed = verb->get_subcommands())
                verb = parsed.front();
            chosen = VerbName(verb);
            Detail("running '" + chosen + "' (nuvexctl " NUVEXCTRL_VERSION ")");
        });

        try {
            app.parse(argc, argv);
            status = ExitStatus();
            const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - started);
            Detail("'" + chosen + "' ended with exit status " + std::to_string(status) + " after " +
                   std::to_string(elapsed.count()) + " ms");
        } catch (const CLI::CallForHelp& e) {
            return app.exit(e);
        } catch (const CLI::CallForAllHelp& e) {
            return app.exit(e);
        } catch (const CLI::CallForVersion&) {
            if (CurrentSettings().json)
                return PrintJson({{"ok", true}, {"version", NUVEXCTRL_VERSION}});
            std::cout << "nuvexctl " NUVEXCTRL_VERSION "\n";
            return kExitOk;
        } catch (const CLI::ParseError& e) {
            const std::string hint = SuggestCorrection(app, std::vector<std::string>(argv + 1, argv + argc));
            if (!hint.empty()) return ReportError(hint + " (see --help)", kExitUsage);
            if (CurrentSettings().json) return ReportError(e.what(), kExitUsage);
            app.exit(e);
            return kExitUsage;
        }
    } catch (const std::exception& e) {
        return ReportError(std::string("failed: ") + e.what());
    } catch (...) {
        return ReportError("failed: unknown failure");
    }
    std::cout.flush();
    if (!OutputHealthy()) {
        if (OutputReaderGone()) return kExitClosedPipe;
        std::cerr << "nuvexctl: writing to standard output failed\n";
        return kExitFailed;
    }
    return status;
}
