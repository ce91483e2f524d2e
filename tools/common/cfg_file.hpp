// SPDX-License-Identifier: Apache-2.0
// Reading a libconfig file for the programs beside the libraries (the
// station's configuration, radio-sim's scenarios): the record's owner and
// errors that name the file and the line of the offending setting.
#ifndef V2X_TOOLS_CFG_FILE_HPP
#define V2X_TOOLS_CFG_FILE_HPP

#include <libconfig.h>

#include <cstring>
#include <initializer_list>
#include <sstream>
#include <string>

namespace v2xcfg {

// Owns a libconfig record for the length of one load.
struct CfgFile {
    config_t c;
    CfgFile() { config_init(&c); }
    ~CfgFile() { config_destroy(&c); }
    CfgFile(const CfgFile&) = delete;
    CfgFile& operator=(const CfgFile&) = delete;

    // Reads the file at path. A syntax error sets err to "PATH:LINE: what
    // libconfig says"; a file that cannot be read sets it to aicIoErr.
    bool read(const std::string& path, const std::string& aicIoErr, std::string& err)
    {
        if (config_read_file(&c, path.c_str()) == CONFIG_TRUE) {
            return true;
        }
        if (config_error_type(&c) == CONFIG_ERR_FILE_IO) {
            err = aicIoErr;
        } else {
            std::ostringstream os;
            os << path << ":" << config_error_line(&c) << ": " << config_error_text(&c);
            err = os.str();
        }
        return false;
    }
};

// Errors name the file and the line of the offending setting.
struct Reporter {
    const std::string& file;
    std::string& err;
    bool fail(const config_setting_t* s, const std::string& msg)
    {
        std::ostringstream os;
        os << file;
        if (s != nullptr && config_setting_source_line(s) > 0) {
            os << ":" << config_setting_source_line(s);
        }
        os << ": " << msg;
        err = os.str();
        return false;
    }
};

// An integer or a float setting as a double; false for any other type.
inline bool number_of(const config_setting_t* s, double& out)
{
    switch (config_setting_type(s)) {
    case CONFIG_TYPE_INT:
        out = config_setting_get_int(s);
        return true;
    case CONFIG_TYPE_INT64:
        out = static_cast<double>(config_setting_get_int64(s));
        return true;
    case CONFIG_TYPE_FLOAT:
        out = config_setting_get_float(s);
        return true;
    default:
        return false;
    }
}

// A path the file names: a relative one is taken from the file's own folder.
inline std::string beside(const std::string& file, const std::string& path)
{
    if (path.empty() || path[0] == '/') {
        return path;
    }
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? path : file.substr(0, slash + 1) + path;
}

// Refuses the first member of `grp` whose name is not in `known`, naming it
// (after `where`, its place: "sidelink.") and the names it may have.
inline bool only_known(Reporter& r, const config_setting_t* grp, std::initializer_list<const char*> known,
                       const std::string& where)
{
    const int n = config_setting_length(grp);
    for (int i = 0; i < n; ++i) {
        const config_setting_t* s = config_setting_get_elem(grp, static_cast<unsigned>(i));
        const char* nm = config_setting_name(s);
        bool ok = false;
        for (const char* k : known) {
            ok = ok || (nm != nullptr && strcmp(nm, k) == 0);
        }
        if (!ok) {
            std::string list;
            for (const char* k : known) {
                list += (list.empty() ? "" : ", ") + std::string(k);
            }
            return r.fail(s, "unknown setting " + where + (nm != nullptr ? nm : "?") +
                                 " (known: " + list + ")");
        }
    }
    return true;
}

}  // namespace v2xcfg

#endif
