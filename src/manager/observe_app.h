#pragma once
// The updater's side of the named objects through which the product's
// resident manager shows that it runs and can be asked to shut down.
//
// Contract: nothing here reports an error. An event that can be neither
// created nor opened leaves its accessor returning null (the caller then skips
// SetEvent); a mutex that cannot be opened, for whatever reason, counts as
// absent. The object never sets or resets an event of its own accord.

#include <windows.h>

#include <memory>

#include "system/scoped_handle.h"

class CObserveApp {
 public:
  // Creates or opens the six events, each manual-reset and non-signalled
  // when this is the first process to name it.
  CObserveApp();
  // Frees the base name, then closes the events in the order of creation.
  virtual ~CObserveApp();

  CObserveApp(const CObserveApp&) = delete;
  CObserveApp& operator=(const CObserveApp&) = delete;

  // Whether a running manager holds its machine-wide mutex
  // ("Global\<base>-MutexAll") or the one of this session ("<base>-MutexUser").
  bool MutexAllExists() const;
  bool MutexUserExists() const;

  HANDLE ExistAllEvent() const { return m_ExistAllEvent.Get(); }
  HANDLE ActivateUserEvent() const { return m_ActivateUserEvent.Get(); }
  HANDLE ModifyUserEvent() const { return m_ModifyUserEvent.Get(); }
  HANDLE ModifyAllEvent() const { return m_ModifyAllEvent.Get(); }
  HANDLE ShutdownUserEvent() const { return m_ShutdownUserEvent.Get(); }
  // SetEvent on it asks every manager instance to shut down; null when the
  // event could not be had.
  HANDLE ShutdownAllEvent() const { return m_ShutdownAllEvent.Get(); }

 private:
  static HANDLE CreateOrOpenEvent(const wchar_t* name);
  // Fills the caller's descriptor with a DACL that lets Everyone use the
  // object but not change its DACL or owner. True when the descriptor is
  // complete; then its ACL belongs to the caller (LocalFree).
  static bool BuildEveryoneSecurity(SECURITY_DESCRIPTOR* descriptor);
  bool MutexExists(const wchar_t* format) const;

  ScopedKernelHandle m_ExistAllEvent;
  ScopedKernelHandle m_ActivateUserEvent;
  ScopedKernelHandle m_ModifyUserEvent;
  ScopedKernelHandle m_ModifyAllEvent;
  ScopedKernelHandle m_ShutdownUserEvent;
  ScopedKernelHandle m_ShutdownAllEvent;
  std::unique_ptr<wchar_t[]> m_BaseName;  // heap copy of the base name
};

namespace process {
// The window message "CObserveAppNotify", registered during static
// initialisation (run/process_values.cpp).
extern UINT ObserveAppNotifyMessage;
}  // namespace process
