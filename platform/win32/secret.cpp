#include "platform/secret.h"

#include "platform/os.h"
#include "platform/win32/handle.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstring>
#include <memory>
#include <vector>

using os::win32::Handle;

namespace os {
namespace {

std::string LastError() { return ErrorText(static_cast<int>(GetLastError())); }

struct LocalFreer {
    void operator()(void* p) const { LocalFree(p); }
};

// The current user's SID, copied out of the process token.
std::vector<BYTE> CurrentUserSid() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return {};
    Handle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !GetTokenInformation(token.get(), TokenUser, buffer.data(), size, &size)) return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const DWORD length = GetLengthSid(sid);
    std::vector<BYTE> copy(length);
    if (!CopySid(length, copy.data(), sid)) return {};
    return copy;
}

// Groups any other user of the machine (or of the network) belongs to.
bool IsBroadGroup(PSID sid) {
    for (const WELL_KNOWN_SID_TYPE type : {WinWorldSid, WinAuthenticatedUserSid, WinBuiltinUsersSid, WinAnonymousSid,
                                           WinBuiltinGuestsSid, WinInteractiveSid, WinNetworkSid}) {
        if (IsWellKnownSid(sid, type)) return true;
    }
    return false;
}

// Empty when only the owner (and the system's own accounts) can read the
// file; otherwise why not. No access list at all grants everyone access.
std::string ReadableByOthers(HANDLE file) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD error =
        GetSecurityInfo(file, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr, &dacl, nullptr, &raw);
    if (error != ERROR_SUCCESS) return ErrorText(static_cast<int>(error));
    const std::unique_ptr<void, LocalFreer> descriptor(raw);
    constexpr const char* kOpen = "other users can access it (only its owner may read it)";
    if (dacl == nullptr) return kOpen;
    constexpr ACCESS_MASK kReads = GENERIC_READ | GENERIC_ALL | FILE_READ_DATA;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* ace = nullptr;
        if (!GetAce(dacl, i, &ace)) return LastError();
        const auto* header = static_cast<ACE_HEADER*>(ace);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE || (header->AceFlags & INHERIT_ONLY_ACE)) continue;
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        if ((allowed->Mask & kReads) && IsBroadGroup(reinterpret_cast<PSID>(&allowed->SidStart))) return kOpen;
    }
    return {};
}

}  // namespace

std::string CreateSecretFile(const std::filesystem::path& path, std::string_view content) {
    // CREATE_NEW refuses an existing name. The access list is the owner's
    // alone, not inherited from the folder, as mode 0600 is elsewhere.
    std::vector<BYTE> user = CurrentUserSid();
    if (user.empty()) return LastError();
    EXPLICIT_ACCESSW grant{};
    grant.grfAccessPermissions = GENERIC_ALL;
    grant.grfAccessMode = SET_ACCESS;
    grant.grfInheritance = NO_INHERITANCE;
    grant.Trustee.TrusteeForm = TRUSTEE_IS_SID;
    grant.Trustee.TrusteeType = TRUSTEE_IS_USER;
    grant.Trustee.ptstrName = reinterpret_cast<LPWSTR>(user.data());
    PACL rawAcl = nullptr;
    if (const DWORD error = SetEntriesInAclW(1, &grant, nullptr, &rawAcl); error != ERROR_SUCCESS) {
        return ErrorText(static_cast<int>(error));
    }
    const std::unique_ptr<void, LocalFreer> acl(rawAcl);
    SECURITY_DESCRIPTOR descriptor;
    if (!InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
        !SetSecurityDescriptorDacl(&descriptor, TRUE, rawAcl, FALSE) ||
        !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED)) {
        return LastError();
    }
    SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
    Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, &attributes, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return LastError();
    std::string problem;
    DWORD written = 0;
    if (!WriteFile(file.get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
        written != content.size()) {
        problem = LastError();
    }
    if (problem.empty() && !FlushFileBuffers(file.get())) problem = LastError();
    if (problem.empty() && !CloseHandle(file.release())) problem = LastError();
    if (!problem.empty()) {
        if (file.valid()) CloseHandle(file.release());
        DeleteFileW(path.c_str());
    }
    return problem;
}

std::string ReadSecretFile(const std::filesystem::path& path, std::string& content) {
    content.clear();
    Handle file(CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return LastError();
    if (GetFileType(file.get()) != FILE_TYPE_DISK) return "not a regular file";
    if (std::string open = ReadableByOthers(file.get()); !open.empty()) return open;
    char buffer[4097];
    DWORD total = 0;
    for (;;) {
        DWORD n = 0;
        if (!ReadFile(file.get(), buffer + total, sizeof buffer - total, &n, nullptr)) return LastError();
        if (n == 0) break;
        total += n;
        if (total == sizeof buffer) return "too large for a key file";
    }
    content.assign(buffer, total);
    SecureZeroMemory(buffer, sizeof buffer);
    return {};
}

}  // namespace os
