#include "suggest.h"

#include <algorithm>

namespace nuvexctl {
namespace {

// The known words closest to `word`: those within two edits (one for words of up to four
// letters) or that begin with it, the nearest first.
std::vector<std::string> Closest(const std::string& word, const std::vector<std::string>& known) {
    const std::size_t allowed = word.size() <= 4 ? 1 : 2;
    std::size_t best = static_cast<std::size_t>(-1);
    std::vector<std::string> closest;
    for (const std::string& candidate : known) {
        std::size_t distance = EditDistance(word, candidate);
        if (word.size() >= 2 && candidate.rfind(word, 0) == 0) distance = std::min<std::size_t>(distance, 1);
        if (distance > allowed || distance > best) continue;
        if (distance < best) closest.clear();
        best = distance;
        if (std::find(closest.begin(), closest.end(), candidate) == closest.end()) closest.push_back(candidate);
    }
    return closest;
}

std::string Quoted(const std::vector<std::string>& words, const char* joint) {
    std::string text;
    for (std::size_t i = 0; i < words.size(); ++i) {
        if (i != 0) text += i + 1 == words.size() ? joint : ", ";
        text += "'" + words[i] + "'";
    }
    return text;
}

std::string Hint(const std::string& what, const std::vector<std::string>& closest,
                 const std::vector<std::string>& known) {
    if (closest.empty()) return what + "; known: " + Quoted(known, " and ");
    return what + "; did you mean " + Quoted(closest, " or ") + "?";
}

std::string PathOf(const CLI::App* app) {
    std::string path;
    for (; app != nullptr && app->get_parent() != nullptr; app = app->get_parent())
        path = app->get_name() + (path.empty() ? "" : " " + path);
    return path;
}

// The option of `app` or of a verb above it that answers to `name` ("--json", "-q").
const CLI::Option* FindOption(const CLI::App* app, const std::string& name) {
    for (; app != nullptr; app = app->get_parent())
        for (const CLI::Option* option : app->get_options())
            if (!option->get_lnames().empty() || !option->get_snames().empty())
                if (option->check_name(name)) return option;
    return nullptr;
}

std::vector<std::string> OptionNames(const CLI::App* app) {
    std::vector<std::string> names;
    for (; app != nullptr; app = app->get_parent())
        for (const CLI::Option* option : app->get_options())
            for (const std::string& name : option->get_lnames())
                if (std::find(names.begin(), names.end(), "--" + name) == names.end()) names.push_back("--" + name);
    return names;
}

}  // namespace

std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
    for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i)
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[a.size()][b.size()];
}

std::string SuggestCorrection(const CLI::App& app, const std::vector<std::string>& args) {
    const CLI::App* current = &app;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& word = args[i];
        if (word == "--") break;
        if (word.size() > 1 && word[0] == '-') {
            const std::string name = word.substr(0, word.find('='));
            const CLI::Option* option = FindOption(current, name);
            if (option == nullptr) {
                if (name.rfind("--", 0) != 0) return {};  // short flags may be bundled; let the parser say
                return Hint("unknown option '" + name + "'", Closest(name, OptionNames(current)),
                            OptionNames(current));
            }
            if (option->get_items_expected_min() > 0 && name.size() == word.size()) ++i;  // its value
            continue;
        }
        const auto verbs = current->get_subcommands([](const CLI::App*) { return true; });
        if (verbs.empty()) continue;  // one of the verb's own arguments
        const CLI::App* next = nullptr;
        std::vector<std::string> names;
        for (const CLI::App* verb : verbs) {
            if (verb->check_name(word)) next = verb;
            if (!verb->get_group().empty()) names.push_back(verb->get_name());  // hidden verbs are not offered
        }
        if (next == nullptr) {
            const std::string of = current == &app ? "" : " of '" + PathOf(current) + "'";
            return Hint("unknown verb '" + word + "'" + of, Closest(word, names), names);
        }
        current = next;
    }
    return {};
}

}  // namespace nuvexctl
