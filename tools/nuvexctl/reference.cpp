#include "reference.h"

#include <iostream>
#include <vector>

#include "commands.h"
#include "output.h"

namespace nuvexctl {
namespace {

// One verb as --help shows it: its words, what it does, its verbs and options.
struct OptionInfo {
    std::vector<std::string> names;  // "-q", "--quiet"
    std::string value;               // the value's name when the option takes one ("FILE")
    std::string description;
};

struct VerbInfo {
    std::string path;  // "" for the tool itself, "driver install"
    std::string description;
    std::vector<std::string> verbs;         // the names of its verbs, in --help's order
    std::vector<std::string> descriptions;  // of those verbs
    std::vector<OptionInfo> options;
    std::vector<std::string> arguments;  // positional arguments, as --help names them
    std::string example;                 // the lines of its "Example:" footer
};

bool Hidden(const CLI::App* verb) { return verb->get_group().empty() || verb->get_name().empty(); }

std::string ExampleOf(const std::string& footer) {
    const std::string mark = "Example:\n";
    const auto at = footer.find(mark);
    if (at == std::string::npos) return {};
    std::string example;
    std::size_t start = at + mark.size();
    while (start < footer.size()) {
        std::size_t end = footer.find('\n', start);
        if (end == std::string::npos) end = footer.size();
        std::string line = footer.substr(start, end - start);
        const auto text = line.find_first_not_of(' ');
        if (text != std::string::npos) example += line.substr(text) + "\n";
        start = end + 1;
    }
    return example;
}

void Collect(const CLI::App* app, const std::string& path, std::vector<VerbInfo>& out) {
    VerbInfo info;
    info.path = path;
    info.description = app->get_description();
    info.example = ExampleOf(app->get_footer());
    for (const CLI::Option* option : app->get_options()) {
        if (option->get_group().empty()) continue;  // hidden, as in --help
        if (!option->nonpositional()) {
            info.arguments.push_back(option->get_name(true));
            continue;
        }
        OptionInfo o;
        for (const auto& s : option->get_snames()) o.names.push_back("-" + s);
        for (const auto& l : option->get_lnames()) o.names.push_back("--" + l);
        if (option->get_items_expected_min() > 0) {
            o.value = option->get_type_name();
            if (o.value.empty()) o.value = "VALUE";
        }
        o.description = option->get_description();
        info.options.push_back(o);
    }
    const auto verbs = app->get_subcommands([](const CLI::App* verb) { return !Hidden(verb); });
    for (const CLI::App* verb : verbs) {
        info.verbs.push_back(verb->get_name());
        info.descriptions.push_back(verb->get_description());
    }
    out.push_back(info);
    for (const CLI::App* verb : verbs) Collect(verb, path.empty() ? verb->get_name() : path + " " + verb->get_name(), out);
}

std::vector<VerbInfo> Describe(const CLI::App& app) {
    std::vector<VerbInfo> verbs;
    Collect(&app, "", verbs);
    return verbs;
}

std::string Joined(const std::vector<std::string>& words) {
    std::string text;
    for (const auto& w : words) text += (text.empty() ? "" : " ") + w;
    return text;
}

// --help and --help-all belong to every verb; they are listed once, with the tool's options.
bool HelpOfAVerb(const VerbInfo& verb, const OptionInfo& option) {
    return !verb.path.empty() && option.names.back().rfind("--help", 0) == 0;
}

std::vector<std::string> OptionNames(const VerbInfo& verb, bool valuedOnly) {
    std::vector<std::string> names;
    for (const auto& o : verb.options)
        if ((!valuedOnly || !o.value.empty()) && !HelpOfAVerb(verb, o))
            names.insert(names.end(), o.names.begin(), o.names.end());
    return names;
}

// A text inside single quotes of a POSIX shell or zsh.
std::string ShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// A text inside single quotes of PowerShell.
std::string PowerShellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("''") : std::string(1, c);
    return quoted + "'";
}

// A text for the body of a roff page: backslashes and minus signs escaped, and no line that a
// formatter would take for a request.
std::string Roff(const std::string& text) {
    std::string out;
    bool lineStart = true;
    for (char c : text) {
        if (lineStart && (c == '.' || c == '\'')) out += "\\&";
        if (c == '\\') out += "\\e";
        else if (c == '-') out += "\\-";
        else out += c;
        lineStart = c == '\n';
    }
    return out;
}

std::string Synopsis(const VerbInfo& verb) {
    std::string text = "nuvexctl" + (verb.path.empty() ? "" : " " + verb.path);
    for (const auto& o : verb.options)
        if (!HelpOfAVerb(verb, o)) {
            text += " [OPTIONS]";
            break;
        }
    if (!verb.verbs.empty()) text += " VERB";
    for (const auto& a : verb.arguments) text += " " + a;
    return text;
}

}  // namespace

std::string BashCompletion(const CLI::App& app) {
    const auto verbs = Describe(app);
    std::string verbsCase, optionsCase, valuedCase;
    for (const auto& v : verbs) {
        const std::string label = "        " + ShellQuoted(v.path) + ") echo ";
        if (!v.verbs.empty()) verbsCase += label + ShellQuoted(Joined(v.verbs)) + " ;;\n";
        if (!OptionNames(v, false).empty()) optionsCase += label + ShellQuoted(Joined(OptionNames(v, false))) + " ;;\n";
        if (!OptionNames(v, true).empty()) valuedCase += label + ShellQuoted(Joined(OptionNames(v, true))) + " ;;\n";
    }
    return "# bash completion for nuvexctl (generated by `nuvexctl completion bash`).\n"
           "# Source it, or install it as bash-completion/completions/nuvexctl.\n"
           "_nuvexctl_verbs() {\n    case \"$1\" in\n" + verbsCase + "    esac\n}\n"
           "_nuvexctl_options() {\n    case \"$1\" in\n" + optionsCase + "    esac\n}\n"
           "_nuvexctl_valued() {\n    case \"$1\" in\n" + valuedCase + "    esac\n}\n"
           "_nuvexctl() {\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} verbpath='' word i skip=0\n"
           "    COMPREPLY=()\n"
           "    # The verbs named so far; an option's value is no verb.\n"
           "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
           "        word=${COMP_WORDS[i]}\n"
           "        if ((skip)); then skip=0; continue; fi\n"
           "        case $word in\n"
           "            --) break ;;\n"
           "            --*=*) continue ;;\n"
           "            -*) case \" $(_nuvexctl_valued \"$verbpath\") \" in *\" $word \"*) skip=1 ;; esac\n"
           "                continue ;;\n"
           "        esac\n"
           "        case \" $(_nuvexctl_verbs \"$verbpath\") \" in\n"
           "            *\" $word \"*) verbpath=${verbpath:+$verbpath }$word ;;\n"
           "        esac\n"
           "    done\n"
           "    ((skip)) && return 0  # an option's value: file names\n"
           "    if [[ $cur == -* ]]; then\n"
           "        COMPREPLY=($(compgen -W \"$(_nuvexctl_options \"$verbpath\") $(_nuvexctl_options '')\" -- \"$cur\"))\n"
           "    else\n"
           "        COMPREPLY=($(compgen -W \"$(_nuvexctl_verbs \"$verbpath\")\" -- \"$cur\"))\n"
           "    fi\n"
           "    return 0\n"
           "}\n"
           "complete -o default -F _nuvexctl nuvexctl\n";
}

std::string ZshCompletion(const CLI::App& app) {
    const auto verbs = Describe(app);
    std::string verbsCase, optionsCase, valuedCase;
    for (const auto& v : verbs) {
        const std::string label = "        (" + ShellQuoted(v.path) + ") reply=(";
        if (!v.verbs.empty()) {
            verbsCase += label;
            for (std::size_t i = 0; i < v.verbs.size(); ++i)
                verbsCase += (i ? " " : "") + ShellQuoted(v.verbs[i] + ":" + v.descriptions[i]);
            verbsCase += ") ;;\n";
        }
        if (!OptionNames(v, false).empty()) {
            optionsCase += label;
            for (const auto& o : v.options)
                if (!HelpOfAVerb(v, o))
                    for (const auto& n : o.names) optionsCase += " " + ShellQuoted(n + ":" + o.description);
            optionsCase += ") ;;\n";
        }
        if (!OptionNames(v, true).empty()) {
            valuedCase += label;
            for (const auto& n : OptionNames(v, true)) valuedCase += " " + ShellQuoted(n);
            valuedCase += ") ;;\n";
        }
    }
    return "#compdef nuvexctl\n"
           "# zsh completion for nuvexctl (generated by `nuvexctl completion zsh`).\n"
           "# Install it as _nuvexctl in a folder of $fpath (site-functions).\n"
           "_nuvexctl_verbs() {\n    reply=()\n    case $1 in\n" + verbsCase + "    esac\n}\n"
           "_nuvexctl_options() {\n    reply=()\n    case $1 in\n" + optionsCase + "    esac\n}\n"
           "_nuvexctl_valued() {\n    reply=()\n    case $1 in\n" + valuedCase + "    esac\n}\n"
           "_nuvexctl() {\n"
           "    local verbpath='' word i skip=0\n"
           "    local -a reply options\n"
           "    for ((i = 2; i < CURRENT; i++)); do\n"
           "        word=${words[i]}\n"
           "        if ((skip)); then skip=0; continue; fi\n"
           "        case $word in\n"
           "            (--) break ;;\n"
           "            (--*=*) continue ;;\n"
           "            (-*) _nuvexctl_valued \"$verbpath\"\n"
           "                 (( ${reply[(Ie)$word]} )) && skip=1\n"
           "                 continue ;;\n"
           "        esac\n"
           "        _nuvexctl_verbs \"$verbpath\"\n"
           "        (( ${reply[(I)${(b)word}:*]} )) && verbpath=${verbpath:+$verbpath }$word\n"
           "    done\n"
           "    if ((skip)); then _files; return; fi\n"
           "    if [[ $PREFIX == -* ]]; then\n"
           "        _nuvexctl_options \"$verbpath\"; options=($reply)\n"
           "        _nuvexctl_options ''; options+=($reply)\n"
           "        _describe -t options option options\n"
           "    else\n"
           "        _nuvexctl_verbs \"$verbpath\"\n"
           "        if (( $#reply )); then _describe -t verbs verb reply; else _files; fi\n"
           "    fi\n"
           "}\n"
           "_nuvexctl \"$@\"\n";
}

std::string PowerShellCompletion(const CLI::App& app) {
    const auto verbs = Describe(app);
    auto table = [&](auto pick) {
        std::string text = "@{\n";
        for (const auto& v : verbs) {
            const std::vector<std::string> words = pick(v);
            if (words.empty()) continue;
            text += "        " + PowerShellQuoted(v.path) + " = @(";
            for (std::size_t i = 0; i < words.size(); ++i) text += (i ? ", " : "") + PowerShellQuoted(words[i]);
            text += ")\n";
        }
        return text + "    }";
    };
    return "# PowerShell completion for nuvexctl (generated by `nuvexctl completion powershell`).\n"
           "# Dot-source it from your profile: . ./nuvexctl.ps1\n"
           "Register-ArgumentCompleter -Native -CommandName nuvexctl, nuvexctl.exe -ScriptBlock {\n"
           "    param($wordToComplete, $commandAst, $cursorPosition)\n"
           "    $verbs = " + table([](const VerbInfo& v) { return v.verbs; }) + "\n"
           "    $options = " + table([](const VerbInfo& v) { return OptionNames(v, false); }) + "\n"
           "    $valued = " + table([](const VerbInfo& v) { return OptionNames(v, true); }) + "\n"
           "    $verbPath = ''\n"
           "    $skip = $false\n"
           "    foreach ($element in ($commandAst.CommandElements | Select-Object -Skip 1)) {\n"
           "        if ($element.Extent.EndOffset -ge $cursorPosition) { break }\n"
           "        $word = $element.ToString()\n"
           "        if ($skip) { $skip = $false; continue }\n"
           "        if ($word -eq '--') { break }\n"
           "        if ($word.StartsWith('-')) { if ($valued[$verbPath] -contains $word) { $skip = $true }; continue }\n"
           "        if ($verbs[$verbPath] -contains $word) { $verbPath = ($verbPath + ' ' + $word).Trim() }\n"
           "    }\n"
           "    if ($skip) { return }\n"
           "    if ($wordToComplete.StartsWith('-')) { $candidates = @($options[$verbPath]) + @($options['']) }\n"
           "    else { $candidates = @($verbs[$verbPath]) }\n"
           "    $candidates | Where-Object { $_ -and $_ -like \"$wordToComplete*\" } | ForEach-Object {\n"
           "        [System.Management.Automation.CompletionResult]::new($_, $_, 'ParameterValue', $_)\n"
           "    }\n"
           "}\n";
}

std::string ExitStatusMarkdown() {
    std::string text = "| Status | Meaning |\n|---|---|\n";
    for (const auto& row : ExitStatusTable())
    {
        std::string meaning;
        for (const char* c = row.meaning; *c != 0; ++c) meaning += *c == '|' ? std::string("\\|") : std::string(1, *c);
        text += "| " + std::to_string(row.status) + " | " + meaning + " |\n";
    }
    return text;
}

std::string ManualPage(const CLI::App& app) {
    const auto verbs = Describe(app);
    const VerbInfo& tool = verbs.front();
    std::string page = ".\\\" The manual page of nuvexctl, generated by `nuvexctl man` from its verbs.\n";
    page += ".TH NUVEXCTL 1 \"\" \"nuvexctl " NUVEXCTRL_VERSION "\" \"Nuvexctrl\"\n";
    page += ".SH NAME\n" + Roff(tool.description) + "\n";
    page += ".SH SYNOPSIS\n.B nuvexctl\n[\\fIOPTIONS\\fR] \\fIVERB\\fR [\\fIARGUMENTS\\fR]\n";
    page += ".SH DESCRIPTION\n" +
            Roff("nuvexctl drives the Nuvex drivers through the Nuvexctrl library, exactly as a management "
                 "program would. Tables are for people; --json prints one JSON document for scripts. Errors go "
                 "to standard error with the failing operation, the result code and its meaning, and are "
                 "shown whatever --quiet says.") + "\n";
    auto options = [&](const VerbInfo& verb) {
        for (const auto& o : verb.options) {
            if (HelpOfAVerb(verb, o)) continue;
            page += ".TP\n";
            for (std::size_t i = 0; i < o.names.size(); ++i)
                page += (i ? ", " : "") + std::string("\\fB") + Roff(o.names[i]) + "\\fR";
            if (!o.value.empty()) page += " \\fI" + Roff(o.value) + "\\fR";
            page += "\n" + Roff(o.description) + "\n";
        }
    };
    page += ".SH OPTIONS\n";
    options(tool);
    page += ".SH VERBS\n";
    for (std::size_t i = 1; i < verbs.size(); ++i) {
        const VerbInfo& verb = verbs[i];
        page += ".SS \"" + Roff(Synopsis(verb)) + "\"\n" + Roff(verb.description) + "\n";
        if (!verb.verbs.empty()) {
            page += ".PP\nVerbs: ";
            for (std::size_t j = 0; j < verb.verbs.size(); ++j)
                page += (j ? ", " : "") + std::string("\\fB") + Roff(verb.verbs[j]) + "\\fR";
            page += ".\n";
        }
        options(verb);
        if (!verb.example.empty()) page += ".PP\nExample:\n.PP\n.RS 4\n.nf\n" + Roff(verb.example) + ".fi\n.RE\n";
    }
    page += ".SH \"EXIT STATUS\"\n";
    for (const auto& row : ExitStatusTable())
        page += ".TP\n.B " + std::to_string(row.status) + "\n" + Roff(row.meaning) + "\n";
    page += ".SH ENVIRONMENT\n"
            ".TP\n.B NUVEXCTL_STATE_DIR\n" +
            Roff("The tool's state folder (policy journal, log spool); else $XDG_STATE_HOME/nuvexctl, else "
                 "~/.local/state/nuvexctl (on Windows %LOCALAPPDATA%\\nuvexctl).") + "\n"
            ".TP\n.B NUVEX_HOST_ROOT\n" +
            Roff("On the host platform: the folder of the emulated machine, its drivers and their files.") + "\n";
    page += ".SH \"SEE ALSO\"\n" +
            Roff("The manual, the JSON schemas and the library's reference in the package's documentation "
                 "folder (share/doc/nuvexctrl): nuvexctl.md, schema/, api.md, result-codes.md.") + "\n";
    return page;
}

void AddReferenceCommands(CLI::App& app) {
    static std::string shell;
    auto* completion = app.add_subcommand("completion", "Print a shell completion script (bash, zsh or powershell)");
    completion->add_option("shell", shell, "bash, zsh or powershell")
        ->required()
        ->check(CLI::IsMember({"bash", "zsh", "powershell"}));
    completion->footer(Example("source <(nuvexctl completion bash)\n"
                               "  nuvexctl completion zsh > ~/.zfunc/_nuvexctl"));
    const CLI::App* root = &app;
    Bind(completion, [root] {
        const std::string script = shell == "bash" ? BashCompletion(*root)
                                   : shell == "zsh" ? ZshCompletion(*root)
                                                    : PowerShellCompletion(*root);
        if (CurrentSettings().json) return PrintJson({{"ok", true}, {"shell", shell}, {"script", script}});
        std::cout << script;
        return kExitOk;
    });

    // Hidden: what the build and scripts/gen-docs.sh make the installed page and the manual from.
    static bool exitTable = false;
    auto* man = app.add_subcommand("man", "Print the manual page (roff)");
    man->group("");
    man->add_flag("--exit-status-table", exitTable, "Print the exit statuses as a Markdown table instead");
    Bind(man, [root] {
        if (CurrentSettings().json) {
            if (!exitTable) return PrintJson({{"ok", true}, {"page", ManualPage(*root)}});
            Json statuses = Json::array();
            for (const auto& row : ExitStatusTable())
                statuses.push_back({{"status", row.status}, {"meaning", row.meaning}});
            return PrintJson({{"ok", true}, {"exitStatuses", statuses}});
        }
        std::cout << (exitTable ? ExitStatusMarkdown() : ManualPage(*root));
        return kExitOk;
    });
}

}  // namespace nuvexctl
