#include "formats/Misc.h"

#include "platform/errors.h"
#include "platform/os.h"

std::string ReplaceAll(const std::string& source, const std::string& pattern, const std::string& replacement) {
    if (pattern.empty()) return source;
    std::string result;
    std::size_t from = 0;
    for (std::size_t at; (at = source.find(pattern, from)) != std::string::npos; from = at + pattern.size()) {
        result.append(source, from, at - from);
        result += replacement;
    }
    result.append(source, from, std::string::npos);
    return result;
}

void RunProgram(const std::string& commandLine) {
    // The command line is passed whole, however long: no fixed buffer.
    const std::size_t end = commandLine.find_last_of("\\:");
    if (end != std::string::npos) os::SetCurrentDir(commandLine.substr(0, end + 1));
    os::StartProgram(commandLine);
}

void WriteUpdateScript(const std::string& name) {
    const std::string dir = os::GetCurrentDir();
    const std::string scriptPath = dir + "\\Update.bat";
    const std::string scriptName = scriptPath.substr(scriptPath.find_last_of("\\:") + 1);

    // An old script goes first (a link is removed, not followed), and the new
    // one is created exclusively: nothing planted at the name is written.
    os::DeleteFile(scriptPath);
    os::File script = os::File::CreateNew(scriptPath, os::Share::Read);
    std::string text =
        "@echo off\r\n"
        "taskkill /IM " +
        name +
        " /F\r\n"
        "ping 127.0.0.1 -n 3 > nul\r\n";
    if (os::FileExists(dir + "\\" + name + ".New")) {
        text += "del \"" + dir + "\\files.lst\"\r\n";
        text += "del \"" + dir + "\\" + name + "\"\r\n";
        text += "rename " + name + ".New " + name + "\r\n";
    }
    text += "start " + name + "\r\n";
    text += "del \"" + scriptName + "\"\r\n";

    if (script.Write(text.data(), text.size()) != text.size()) {
        throw EInOutError(TFault::DiskFull, kDiskWriteError, scriptPath + ": disk write error");
    }
    script.Close();
}
