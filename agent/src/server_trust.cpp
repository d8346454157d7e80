// The agent values behind the HTTP client's server checks: the recorded key pins of the
// Vantorra server and the distribution server, and the settings that relax the checks.
#include "agent/agent.h"
#include "agent/src/internal.h"
#include "runtime/runtime.h"

std::optional<std::string> gv_serverKeyPin;
std::optional<std::string> gv_dsKeyPin;
int gv_allowAnyServerCertificate = 0;
int gv_allowLegacyTlsVersions = 0;
int gv_allowRedirectToOtherHosts = 0;

namespace {

constexpr const char* kServerPinValue = "ZQServerPublicKeyPin";
constexpr const char* kDsPinValue = "DistributionServerPublicKeyPin";

int YesFlag(const char* valueName) {
    std::optional<std::string> text;
    agent_detail::ReadText(gv_agentRootKey, valueName, &text);
    return agent_detail::EqualsNoCase(text, "yes") ? 1 : 0;
}

// An empty value counts as no pin.
std::optional<std::string> ReadPin(const char* valueName) {
    std::optional<std::string> pin;
    agent_detail::ReadText(gv_serverInfoKey, valueName, &pin);
    if (pin && pin->empty()) pin.reset();
    return pin;
}

}  // namespace

void InitializeServerTrustSettings() {
    gv_serverKeyPin = ReadPin(kServerPinValue);
    gv_dsKeyPin = ReadPin(kDsPinValue);
    gv_allowAnyServerCertificate = YesFlag("AllowAnyServerCertificate");
    gv_allowLegacyTlsVersions = YesFlag("AllowLegacyTlsVersions");
    gv_allowRedirectToOtherHosts = YesFlag("AllowRedirectToOtherHosts");
}

std::string RecordServerKeyPin(bool distributionServer, const std::string& pin) {
    const char* valueName = distributionServer ? kDsPinValue : kServerPinValue;
    std::optional<std::string>& inMemory = distributionServer ? gv_dsKeyPin : gv_serverKeyPin;
    // Another process may have recorded a key since this one started: that one stays.
    if (std::optional<std::string> recorded = ReadPin(valueName)) {
        inMemory = recorded;
        return *recorded;
    }
    agent_detail::WriteText(gv_serverInfoKey, valueName, pin.c_str());
    inMemory = pin;
    return pin;
}
