#include "client/viewer/ViewerOptions.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace vl {

std::optional<ViewerOptions> parseViewerOptions(int argc, const char* const* argv,
                                                std::string* error) {
    ViewerOptions o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::optional<std::string> {
            if (i + 1 >= argc) return std::nullopt;
            return std::string(argv[++i]);
        };
        std::optional<std::string> v;
        if (arg == "--hdr") {
            o.hdr = true;
        } else if (arg == "--fullscreen") {
            o.fullscreen = true;
        } else if (arg == "--no-reconnect") {
            o.offerReconnect = false;
        } else if (arg == "--report-present") {
            o.reportPresent = true;
        } else if (arg == "--password" || arg == "--password-file" || arg == "--size" ||
                   arg == "--extra" || arg == "--seconds" || arg == "--decoder" ||
                   arg == "--decode-threads") {
            if (!(v = value())) {
                if (error) *error = arg + " needs a value";
                return std::nullopt;
            }
            if (arg == "--password") o.password = *v;
            if (arg == "--password-file") o.passwordFile = *v;
            if (arg == "--size") o.size = *v;
            if (arg == "--extra") o.extra = *v;
            if (arg == "--seconds") o.seconds = std::atof(v->c_str());
            if (arg == "--decode-threads") o.decodeThreads = std::max(0, std::atoi(v->c_str()));
            if (arg == "--decoder") {
                using enum HevcDecoderOptions::Device;
                if (*v == "software")
                    o.decoder = software;
                else if (*v == "vaapi")
                    o.decoder = vaapi;
                else if (*v == "auto")
                    o.decoder = automatic;
                else {
                    if (error) *error = "--decoder is software, vaapi or auto, not '" + *v + "'";
                    return std::nullopt;
                }
            }
        } else if (!arg.starts_with("-") && o.target.empty()) {
            o.target = arg;
        } else {
            if (error) *error = "unknown argument '" + arg + "'";
            return std::nullopt;
        }
    }
    return o;
}

std::optional<std::string> resolvePassword(const ViewerOptions& options, const char* environment,
                                           std::string* error) {
    if (options.password) return options.password;
    if (!options.passwordFile.empty()) {
        std::ifstream in(options.passwordFile);
        std::string line;
        if (!in || !std::getline(in, line)) {
            if (error) *error = "cannot read the password file " + options.passwordFile;
            return std::nullopt;
        }
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }
    if (environment && *environment) return std::string(environment);
    return std::nullopt;
}

}  // namespace vl
