// Takes the still-image service "STISVC" out of the way while the scanner is
// updated, and puts it back afterwards. Owns its two service handles.
#pragma once

#include "platform/win32.h"

// The log's last word on the service: its state and start type as the log
// last showed them.
void LogServiceEnd();

class CWIAControl {
 public:
  CWIAControl();
  virtual ~CWIAControl();

  BOOL QueryStatus(LPSERVICE_STATUS status);
  BOOL SetStartType(BYTE startType);
  void SuspendService();
  BOOL ResumeService();
  // For the --verbose log: the start type the manager holds now, logged;
  // nothing is changed. Needs the handles a successful QueryStatus left.
  void LogStartType(const char *when);

 private:
  CWIAControl(const CWIAControl &) = delete;
  CWIAControl &operator=(const CWIAControl &) = delete;

  SC_HANDLE m_hSCManager;
  SC_HANDLE m_hService;
  SERVICE_STATUS m_ServiceStatus;
  // This controller asked the service to stop; a stop still pending at the
  // resume is then its own doing and is waited for.
  bool m_StopRequested;
};
