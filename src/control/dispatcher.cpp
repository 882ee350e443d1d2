#include "control/dispatcher.h"

#include "control/client_identity.h"
#include "control/state_answers.h"
#include "tunnel/connect.h"
#include "tunnel/service_probes.h"
#include "tunnel/session.h"

namespace {

// Each command's action on the system, for the request of one client.
class SystemActions final : public CommandActions {
 public:
  explicit SystemActions(HANDLE client) : client_(client) {}
  bool TunnelServiceRunning() override { return ::TunnelServiceRunning(); }
  std::wstring DescribeState() override { return ::DescribeState(); }
  std::wstring ExplainAddress(const IpAddress& address, std::wstring_view image) override {
    return ::ExplainAddress(address, image);
  }
  bool AuditRequest(const std::wstring& word) override { return ::AuditRequest(client_, word); }
  void SetSplitApps(const std::wstring& argument) override { SplitAppsCommand(argument); }
  void SetBypassNets(const std::wstring& argument) override { BypassNetsCommand(argument); }
  void SetBypassDomains(const std::wstring& argument) override { BypassDomainsCommand(argument); }
  void Disconnect() override { DisconnectTunnel(); }
  bool Connect(const std::wstring& configuration) override { return ConnectTunnel(configuration); }

 private:
  HANDLE client_;
};

}  // namespace

std::wstring DispatchCommand(const std::wstring& line, HANDLE client) {
  SystemActions actions(client);
  return RunCommand(line, actions);
}
