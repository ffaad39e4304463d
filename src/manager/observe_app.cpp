#include "manager/observe_app.h"

#include <new>

#include "system/seams.h"

namespace {

const wchar_t kBaseName[] = L"NorlekTagmindMgrRunning";

// Names without a prefix lie in this session's namespace; "Global\" names are
// seen from every logon session, where the manager's service runs.
const wchar_t kMutexAllFormat[] = L"Global\\%s-MutexAll";
const wchar_t kMutexUserFormat[] = L"%s-MutexUser";

// Rights that suffice to signal an event whose security refuses us more.
const DWORD kSignalRights = SYNCHRONIZE | EVENT_MODIFY_STATE;  // 0x00100002

struct EventSlot {
  const wchar_t* format;
  ScopedKernelHandle CObserveApp::*member;
};

}  // namespace

CObserveApp::CObserveApp() {
  const int baseLength = lstrlenW(kBaseName);
  m_BaseName.reset(new (std::nothrow) wchar_t[baseLength + 1]);
  if (!m_BaseName) return;  // all six events stay empty
  lstrcpyW(m_BaseName.get(), kBaseName);

  // The six events, in the order in which they are created and closed.
  const EventSlot events[] = {
      {L"Global\\%s-Exist-All", &CObserveApp::m_ExistAllEvent},
      {L"%s-Activate-User", &CObserveApp::m_ActivateUserEvent},
      {L"%s-Modify-User", &CObserveApp::m_ModifyUserEvent},
      {L"Global\\%s-Modify-All", &CObserveApp::m_ModifyAllEvent},
      {L"%s-Shutdown-User", &CObserveApp::m_ShutdownUserEvent},
      {L"Global\\%s-Shutdown-All", &CObserveApp::m_ShutdownAllEvent},
  };
  for (const EventSlot& slot : events) {
    // The "%s" of the format is counted too, so the buffer has two spare
    // characters.
    std::unique_ptr<wchar_t[]> name(
        new (std::nothrow) wchar_t[lstrlenW(m_BaseName.get()) + lstrlenW(slot.format) + 1]);
    if (!name) continue;  // this one event stays empty; the others still come
    wsprintfW(name.get(), slot.format, m_BaseName.get());
    (this->*slot.member).Reset(CreateOrOpenEvent(name.get()));
  }
}

CObserveApp::~CObserveApp() {
  m_BaseName.reset();
  m_ExistAllEvent.Close();
  m_ActivateUserEvent.Close();
  m_ModifyUserEvent.Close();
  m_ModifyAllEvent.Close();
  m_ShutdownUserEvent.Close();
  m_ShutdownAllEvent.Close();
}

bool CObserveApp::MutexAllExists() const { return MutexExists(kMutexAllFormat); }

bool CObserveApp::MutexUserExists() const { return MutexExists(kMutexUserFormat); }

bool CObserveApp::MutexExists(const wchar_t* format) const {
  if (!m_BaseName) return false;
  std::unique_ptr<wchar_t[]> name(
      new (std::nothrow) wchar_t[lstrlenW(m_BaseName.get()) + lstrlenW(format) + 1]);
  if (!name) return false;
  wsprintfW(name.get(), format, m_BaseName.get());
  // Only existence matters: the mutex is never waited on or held, and a
  // refusal counts as absence whatever the last error says.
  HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name.get());
  if (!mutex) return false;
  CloseHandle(mutex);
  return true;
}

HANDLE CObserveApp::CreateOrOpenEvent(const wchar_t* name) {
  SECURITY_DESCRIPTOR descriptor;
  ZeroMemory(&descriptor, sizeof descriptor);
  const bool secured = BuildEveryoneSecurity(&descriptor);

  // When the descriptor cannot be completed the event is still created, with
  // this process's default security, rather than not at all. A manager that
  // watches the event has created it already, and then CreateEventW opens it
  // and ignores any descriptor; refusing the call would throw away the only
  // way to ask that manager to shut down. Only an event that nobody holds is
  // created afresh, and it lives just for the escalation.
  SECURITY_ATTRIBUTES attributes;
  attributes.nLength = sizeof attributes;  // 12 bytes in the 32-bit build
  attributes.lpSecurityDescriptor = &descriptor;
  attributes.bInheritHandle = FALSE;

  // An existing event comes back as it is: its state and security untouched.
  HANDLE event = CreateEventW(secured ? &attributes : nullptr, TRUE, FALSE, name);
  if (!event) {
    // Its owner may refuse us full access; signalling needs less.
    event = OpenEventW(kSignalRights, FALSE, name);
  }

  if (secured) {
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    if (GetSecurityDescriptorDacl(&descriptor, &present, &acl, &defaulted) && present &&
        !defaulted && acl) {
      LocalFree(acl);
    }
  }
  return event;
}

bool CObserveApp::BuildEveryoneSecurity(SECURITY_DESCRIPTOR* descriptor) {
  if (!descriptor) return false;

  SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
  PSID everyone = nullptr;
  if (!AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone))
    return false;
  const ScopedSid ownedSid(everyone);

  // Room for the header and two entries naming the SID: 56 bytes for S-1-1-0.
  const DWORD aclBytes = 2 * GetLengthSid(everyone) + 32;
  PACL acl = static_cast<PACL>(LocalAlloc(LMEM_ZEROINIT, aclBytes));
  if (!acl) return false;

  // The deny entry comes first, so that GENERIC_ALL never includes the rights
  // to change the DACL or the owner.
  const bool complete =
      InitializeAcl(acl, aclBytes, ACL_REVISION) &&
      AddAccessDeniedAce(acl, ACL_REVISION, WRITE_DAC | WRITE_OWNER, everyone) &&
      Seams().AddAccessAllowedAce(acl, ACL_REVISION, GENERIC_ALL, everyone) &&
      InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION) &&
      SetSecurityDescriptorDacl(descriptor, TRUE, acl, FALSE);
  if (!complete) LocalFree(acl);
  return complete;
}
