// The document operations the race test runs against each other, as command lines that a
// thread runs directly and a child process (crash_child serve) runs on request.
#pragma once

#include <cstdint>
#include <sstream>
#include <string>

#include "nuvexctrl.h"

namespace nuvex::reliability {

// The rights the race test gives a document, and their password.
constexpr uint32_t kRaceRightsCount = 3;
constexpr char kRacePassword[] = "race";

// Runs "encrypt <file>", "decrypt <file>", "decryptto <file> <target>" or "rights <file>";
// returns the export's result code (0xFFFFFFFF for a command it does not know).
inline uint32_t RunRaceOp(const std::string& command) {
    std::istringstream words(command);
    std::string op, file, target;
    words >> op >> file >> target;
    if (op == "encrypt") return NuvexCtrl_EncryptFile(file.c_str(), 0, nullptr, 0);
    if (op == "decrypt") return NuvexCtrl_DecryptFile(file.c_str(), 0, nullptr, 0, nullptr, 0);
    if (op == "decryptto")
        return NuvexCtrl_DecryptFile(file.c_str(), 1, target.c_str(), 0, nullptr, 0);
    if (op == "rights") {
        uint32_t status = 0;
        return NuvexCtrl_SetEnFileRights(file.c_str(), nullptr, kRaceRightsCount, 0xFFFF, 0,
                                         kRacePassword, sizeof kRacePassword - 1, &status);
    }
    return 0xFFFFFFFFu;
}

}  // namespace nuvex::reliability
