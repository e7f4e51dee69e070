// The access lists a run deals in.  The scratch file's lets in the running
// user alone: whoever could open it (a shared project folder may let them)
// could keep a handle that reaches the target once it is in place.  That
// list is also the mark of a run's scratch file, by which a later run tells
// an earlier run's leftover, which it removes, from another program's file,
// which stays.  And where a rename must stand in for ReplaceFileA, the
// scratch file gets the target's list, as ReplaceFileA would give it.
#include <vector>

#include "platform/win32.h"
// After windows.h, which win32.h brings: these need its types.
#include <aclapi.h>
#include <sddl.h>

namespace platform {
namespace {

// The user this process runs as: |*user| holds its TOKEN_USER.
bool ThisUser(std::vector<char>* user, DWORD* error) {
  HANDLE token = nullptr;
  if (!Sys("OpenProcessToken", OpenProcessToken, FALSE, GetCurrentProcess(),
           TOKEN_QUERY, &token)) {
    *error = GetLastError();
    return false;
  }
  const Handle hold(token);
  user->resize(256);
  DWORD size = 0;
  bool ok;
  while (!(ok = Sys("GetTokenInformation", GetTokenInformation, FALSE, token,
                    TokenUser, user->data(), user->size(), &size)) &&
         GetLastError() == ERROR_INSUFFICIENT_BUFFER)
    user->resize(size);
  *error = GetLastError();
  return ok;
}

PSID SidOf(const std::vector<char>& user) {
  return reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
}

// A file's security as GetSecurityInfo gives it: its parts point into
// |descriptor|.
struct Security {
  LocalMemory descriptor{nullptr, &LocalFree};
  PSID owner = nullptr;
  PSID group = nullptr;
  PACL dacl = nullptr;
  // Whether the list inherits entries from the directory, or is protected.
  SECURITY_INFORMATION dacl_info = DACL_SECURITY_INFORMATION;
};

// Reads the owner, group and access list of the file |h| is open on;
// returns ERROR_SUCCESS or the error.
DWORD ReadSecurity(HANDLE h, Security* security) {
  PSECURITY_DESCRIPTOR sd = nullptr;
  const DWORD error = Fails("GetSecurityInfo")
                          ? GetLastError()
                          : GetSecurityInfo(h, SE_FILE_OBJECT,
                                            OWNER_SECURITY_INFORMATION |
                                                GROUP_SECURITY_INFORMATION |
                                                DACL_SECURITY_INFORMATION,
                                            &security->owner, &security->group,
                                            &security->dacl, nullptr, &sd);
  if (error != ERROR_SUCCESS)
    return error;
  security->descriptor.reset(sd);
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  if (!GetSecurityDescriptorControl(sd, &control, &revision))
    return GetLastError();
  security->dacl_info |= (control & SE_DACL_PROTECTED)
                             ? PROTECTED_DACL_SECURITY_INFORMATION
                             : UNPROTECTED_DACL_SECURITY_INFORMATION;
  return ERROR_SUCCESS;
}

// Gives |scratch| |security|: the access list exactly, and the owner and
// group where the system lets this user give them (an administrator may;
// others keep the file as their own, as on Linux).  Returns ERROR_SUCCESS
// or the error.
DWORD GiveSecurity(const File& scratch, const Security& security) {
  // Setting a list that inherits entries reads the one there first.
  const Handle h =
      OpenAsIs(scratch.path,
               READ_CONTROL | WRITE_DAC | WRITE_OWNER | FILE_READ_ATTRIBUTES);
  Identity id;
  if (!h.valid() || !IdentityOf(h.get(), &id))
    return GetLastError();
  if (!SameFile(id, scratch.open->id))
    return ERROR_FILE_NOT_FOUND;  // not ours any more
  const auto set = [&](SECURITY_INFORMATION info) {
    return Fails("SetSecurityInfo")
               ? GetLastError()
               : SetSecurityInfo(h.get(), SE_FILE_OBJECT, info, security.owner,
                                 security.group, security.dacl, nullptr);
  };
  const auto refused = [](DWORD e) {
    return e == ERROR_INVALID_OWNER || e == ERROR_PRIVILEGE_NOT_HELD ||
           e == ERROR_ACCESS_DENIED;
  };
  DWORD error = set(security.dacl_info);
  if (error != ERROR_SUCCESS)
    return error;
  error = set(OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION);
  if (!refused(error))
    return error;
  error = set(GROUP_SECURITY_INFORMATION);
  return refused(error) ? ERROR_SUCCESS : error;
}

// Whether |dacl| lets in |user| and no one else but the system.  No list
// at all lets in everyone; a denying entry is none of the run's.
bool OnlyFor(PACL dacl, PSID user, bool* only, DWORD* error) {
  bool mine = false, others = dacl == nullptr;
  for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
    void* ace = nullptr;
    if (!GetAce(dacl, i, &ace)) {
      *error = GetLastError();
      return false;
    }
    if (static_cast<const ACE_HEADER*>(ace)->AceType !=
        ACCESS_ALLOWED_ACE_TYPE) {
      others = true;
      continue;
    }
    PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(ace)->SidStart;
    if (EqualSid(sid, user))
      mine = true;
    else if (!IsWellKnownSid(sid, WinLocalSystemSid))
      others = true;
  }
  *only = mine && !others;
  return true;
}

}  // namespace

bool ForThisUserOnly(LocalMemory* descriptor, DWORD* error) {
  std::vector<char> user;
  if (!ThisUser(&user, error))
    return false;
  char* sid = nullptr;
  if (!Sys("ConvertSidToStringSidA", ConvertSidToStringSidA, FALSE, SidOf(user),
           &sid)) {
    *error = GetLastError();
    return false;
  }
  const LocalMemory hold(sid, &LocalFree);
  // P: protected, nothing inherited from the directory; FA: all access.
  const std::string sddl = std::string("D:P(A;;FA;;;") + sid + ")";
  PSECURITY_DESCRIPTOR sd = nullptr;
  if (!Sys("ConvertStringSecurityDescriptorToSecurityDescriptorA",
           ConvertStringSecurityDescriptorToSecurityDescriptorA, FALSE,
           sddl.c_str(), SDDL_REVISION_1, &sd, nullptr)) {
    *error = GetLastError();
    return false;
  }
  descriptor->reset(sd);
  return true;
}

// Other programs' files inherit their directory's list, which lets in
// others too (administrators, the machine's users).  Wine derives the list
// from the Unix mode, and names the system beside the user.  A volume that
// keeps no access lists (FAT) has no mark to show: there a file at the
// scratch name is taken for a run's own.
bool BearsMark(HANDLE h, bool* marked, Clause* why) {
  DWORD flags = 0;
  if (!GetVolumeInformationByHandleW(h, nullptr, 0, nullptr, nullptr, &flags,
                                     nullptr, 0)) {
    *why = SystemClause(GetLastError());
    why->why = Why::kNoVolumeKind;
    return false;
  }
  *marked = (flags & FILE_PERSISTENT_ACLS) == 0;
  if (*marked)
    return true;
  std::vector<char> user;
  DWORD error = ERROR_SUCCESS;
  if (!ThisUser(&user, &error)) {
    *why = SystemClause(error);
    return false;
  }
  Security security;
  PSECURITY_DESCRIPTOR sd = nullptr;
  error = GetSecurityInfo(h, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, &security.dacl, nullptr, &sd);
  security.descriptor.reset(sd);
  if (error == ERROR_SUCCESS &&
      OnlyFor(security.dacl, SidOf(user), marked, &error))
    return true;
  *why = SystemClause(error);
  why->why = Why::kNoSecurity;
  return false;
}

bool CarrySecurity(const Run& run, Clause* why) {
  Security security;
  const DWORD read_error =
      ReadSecurity(run.target.open->handle.get(), &security);
  if (NotSupported(read_error))  // no security on this file system
    return true;
  if (read_error != ERROR_SUCCESS) {
    *why = SystemClause(read_error);
    why->why = Why::kNoSecurityToGive;
    return false;
  }
  const DWORD error = GiveSecurity(run.scratch, security);
  if (error != ERROR_SUCCESS) {
    *why = SystemClause(error);
    why->why = Why::kSecurityNotGiven;
    why->path = WithoutPrefix(run.scratch.path);
    return false;
  }
  return true;
}

}  // namespace platform
