// What the scenario tests share: texts of the log view, events on triggers,
// and packages built from the sample with one INI line replaced.
#pragma once

#include "common/world_test.h"

#include <string>

namespace worldtest {

// The failure message S08 in English, as the log view shows it.
inline const std::string kS08 =
    "Keyboard firmware update fail, Please detach KB and press power button over 15s and attach then try "
    "again...";

// A scenario event fired `after` ms after the trigger `on`.
inline json event_on(const std::string& on, long long after, const std::string& what)
{
    return {{"on", on}, {"after", after}, {"do", what}};
}

// A package built in `dir` from the sample with one INI line replaced and,
// when given, another USB image. Returns the packaged program, or "" on failure.
inline std::string package_with(const std::string& dir, const std::string& line,
                                const std::string& replacement, const std::string& usb = "")
{
    std::string ini = slurp(std::string(TESSEL_SOURCE_DIR) + "/sample-package/package.ini");
    auto at = ini.find(line);
    if (at == std::string::npos)
        return "";
    ini.replace(at, line.size(), replacement);
    std::ofstream(dir + "/package.ini", std::ios::binary) << ini;
    std::string sample = TESSEL_SAMPLE_DIR;
    std::string cmd = std::string("'") + TESSEL_PACK + "' build --force --exe '" + sample +
                      "/bare.exe' --ini '" + dir + "/package.ini' --bt '" + sample + "/bt.bin' --usb '" +
                      (usb.empty() ? sample + "/usb.bin" : usb) + "' -o '" + dir +
                      "/packaged.exe' >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0 ? dir + "/packaged.exe" : "";
}

}  // namespace worldtest
