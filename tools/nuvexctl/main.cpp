// nuvexctl: the administrator's command-line tool for the Nuvex drivers. It uses the library
// only through its public header and exports, as any management program would.
#include <iostream>

#include "commands.h"
#include "output.h"

int main(int argc, char** argv) {
    using namespace nuvexctl;
    CLI::App app{"nuvexctl - control the Nuvex document-protection drivers"};
    app.set_help_all_flag("--help-all", "Show help for every verb");
    app.require_subcommand(1);
    app.fallthrough();
    app.add_flag("--json", CurrentSettings().json, "Print one JSON document instead of tables");
    app.add_flag("-q,--quiet", CurrentSettings().quiet, "No progress output");
    app.footer(Example(
        "nuvexctl status\n"
        "  nuvexctl doc encrypt report.txt\n"
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
    AddDemoCommand(app);
    AddCodesCommand(app);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return kExitUsage;
    }
    return ExitStatus();
}
