#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/NvdsRun.h"

namespace nvds::test {

/// A fresh folder for one test, removed with the object.
class ScratchDir {
public:
    ScratchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "nvds-usr-XXXXXX").string();
        m_path = mkdtemp(tmpl.data());
    }
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }
    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

/// Sets (or, with nullptr, removes) an environment variable for the object's life.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : m_name(name) {
        if (const char* old = std::getenv(name)) {
            m_old = old;
            m_hadOld = true;
        }
        value != nullptr ? setenv(name, value, 1) : unsetenv(name);
    }
    ~ScopedEnv() { m_hadOld ? setenv(m_name, m_old.c_str(), 1) : unsetenv(m_name); }

private:
    const char* m_name;
    std::string m_old;
    bool m_hadOld = false;
};

inline void WriteText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

/// A test with a fresh folder of its own, `m_dir`, removed after the test.
class ScratchTest : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return m_scratch / name; }
    void Write(const std::string& name, const std::string& bytes) const {
        WriteText(Path(name), bytes);
    }

    ScratchDir m_scratch;
    const std::string m_dir = m_scratch.Path().string();
};

/// One USERTAG element of Number coding with the given code, label and default.
inline std::string NumberTag(int code, const std::string& label, const std::string& value = "0x1",
                             const std::string& extra = "") {
    return "<USERTAG MIN=\"0\" MAX=\"255\" LENGTH=\"0x1\" CODE=\"Number\" TAG=\"" +
           std::to_string(code) + "\" NAME=\"N" + std::to_string(code) + "\"" + extra +
           "><DEFAULTVALUE>" + value + "</DEFAULTVALUE><LABEL>" + label +
           "</LABEL><DESCRIPTION>d</DESCRIPTION></USERTAG>";
}

inline std::string UserDb(const std::string& elements) {
    return "<?xml version=\"1.0\"?>\n<USERTAG_DATABASE>" + elements + "</USERTAG_DATABASE>\n";
}

}  // namespace nvds::test
