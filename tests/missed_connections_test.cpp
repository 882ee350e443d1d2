// Which connects of listed applications went through the tunnel, judged by
// the source address their socket event carried, and how they are counted:
// a pure unit, in-process.
#include "split/missed_connections.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "support/address.h"

namespace {

IpAddress Address(const wchar_t* text) {
  IpAddress address;
  EXPECT_TRUE(ParseAddress(text, address)) << testing::PrintToString(std::wstring(text));
  return address;
}

RoutePrefix Network(const wchar_t* text, uint8_t length) {
  return {MaskAddress(Address(text), length), length};
}

// The tunnel of "Address = 10.8.0.2/24, fd00:8::2/64" with "DNS = 9.9.9.9".
void StartTunnel(MissedConnections& missed) {
  missed.Start({Address(L"10.8.0.2"), Address(L"fd00:8::2")},
               {Network(L"10.8.0.0", 24), Network(L"fd00:8::", 64), Network(L"9.9.9.9", 32)});
}

using Verdict = MissedConnections::Verdict;

TEST(MissedConnections, ASourceOfTheTunnelsOwnIsAMissOutsideItsNetworks) {
  const struct {
    const wchar_t* local;
    const wchar_t* remote;
    bool missed;
  } cases[] = {
      {L"10.8.0.2", L"93.184.216.34", true},
      {L"::ffff:10.8.0.2", L"93.184.216.34", true},  // a dual-stack socket's IPv4 source
      {L"fd00:8::2", L"2001:db8::5", true},
      {L"192.168.1.2", L"93.184.216.34", false},
      {L"10.8.0.3", L"93.184.216.34", false},
      {L"fd00:7::2", L"2001:db8::5", false},
      {L"0.0.0.0", L"93.184.216.34", false},
      {L"10.8.0.2", L"10.8.0.77", false},  // the tunnel's own network, reached through it
      {L"10.8.0.2", L"9.9.9.9", false},    // its DNS server
      {L"fd00:8::2", L"fd00:8::9", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.local) + L" -> " + c.remote));
    MissedConnections missed;
    EXPECT_EQ(missed.Note(L"browser.exe", Address(c.local), Address(c.remote)), Verdict::Around)
        << "no tunnel up";
    StartTunnel(missed);
    EXPECT_EQ(missed.Note(L"browser.exe", Address(c.local), Address(c.remote)),
              c.missed ? Verdict::FirstMissOfApp : Verdict::Around);
    EXPECT_EQ(missed.Summary().Total, c.missed ? 1u : 0u);
    missed.Stop();
    EXPECT_EQ(missed.Note(L"browser.exe", Address(c.local), Address(c.remote)), Verdict::Around)
        << "after the tunnel went";
  }
}

// Counted by image file name (however its path is written) and in all; the
// first miss of each image is the one to say; the latest connect to an
// address decides what explain says of it; a new tunnel starts again.
TEST(MissedConnections, CountedPerImageSinceTheTunnelCameUp) {
  MissedConnections missed;
  StartTunnel(missed);
  const IpAddress tunnel = Address(L"10.8.0.2"), physical = Address(L"192.168.1.2");
  const IpAddress site = Address(L"93.184.216.34"), other = Address(L"198.51.100.7");
  EXPECT_EQ(missed.Note(L"C:\\Apps\\Browser.EXE", tunnel, site), Verdict::FirstMissOfApp);
  EXPECT_EQ(missed.Note(L"C:\\Apps\\Browser.EXE", physical, site), Verdict::Around);
  EXPECT_EQ(missed.Note(L"browser.exe", tunnel, other), Verdict::Missed);
  EXPECT_EQ(missed.Note(L"game.exe", tunnel, site), Verdict::FirstMissOfApp);
  EXPECT_EQ(missed.Note(L"game.exe", physical, other), Verdict::Around);

  MissedSummary summary = missed.Summary();
  EXPECT_EQ(summary.Total, 3u);
  ASSERT_EQ(summary.Apps.size(), 2u);
  EXPECT_EQ(summary.Apps[0].Image, L"browser.exe");
  EXPECT_EQ(summary.Apps[0].Count, 2u);
  EXPECT_EQ(summary.Apps[0].Last, other);
  EXPECT_EQ(summary.Apps[1].Image, L"game.exe");
  EXPECT_EQ(summary.Apps[1].Count, 1u);
  EXPECT_EQ(summary.Apps[1].Last, site);

  EXPECT_FALSE(missed.LastWentThroughTunnel(L"browser.exe", site))
      << "its later connect went around";
  EXPECT_TRUE(missed.LastWentThroughTunnel(L"D:\\x\\BROWSER.exe", other));
  EXPECT_TRUE(missed.LastWentThroughTunnel(L"game.exe", site));
  EXPECT_TRUE(missed.LastWentThroughTunnel(L"game.exe", Address(L"::ffff:93.184.216.34")));
  EXPECT_FALSE(missed.LastWentThroughTunnel(L"other.exe", site));
  EXPECT_FALSE(missed.LastWentThroughTunnel(L"game.exe", other));

  // Disconnected: still there to read. Connected again: counted afresh, and
  // said again.
  missed.Stop();
  EXPECT_EQ(missed.Summary().Total, 3u);
  StartTunnel(missed);
  summary = missed.Summary();
  EXPECT_EQ(summary.Total, 0u);
  EXPECT_TRUE(summary.Apps.empty());
  EXPECT_FALSE(missed.LastWentThroughTunnel(L"game.exe", site));
  EXPECT_EQ(missed.Note(L"game.exe", tunnel, site), Verdict::FirstMissOfApp);
}

// However many applications and addresses miss, the record stays bounded:
// the total counts every miss, applications past the bound are not named,
// and an application's oldest remembered miss goes first.
TEST(MissedConnections, BoundedInApplicationsAndAddresses) {
  MissedConnections missed;
  StartTunnel(missed);
  const IpAddress tunnel = Address(L"10.8.0.2");
  const auto remote = [](uint32_t n) { return IpAddress::FromIPv4(0x0A000000u + n); };
  for (uint32_t n = 0; n <= kMissedAddressesAtMost; ++n) {
    missed.Note(L"browser.exe", tunnel, remote(100000 + n));
  }
  EXPECT_FALSE(missed.LastWentThroughTunnel(L"browser.exe", remote(100000)));
  EXPECT_TRUE(missed.LastWentThroughTunnel(L"browser.exe", remote(100001)));
  EXPECT_TRUE(
      missed.LastWentThroughTunnel(L"browser.exe", remote(100000 + kMissedAddressesAtMost)));

  for (uint32_t n = 1; n < kMissedAppsAtMost; ++n) {
    EXPECT_EQ(missed.Note(L"app" + std::to_wstring(n) + L".exe", tunnel, remote(n)),
              Verdict::FirstMissOfApp);
  }
  EXPECT_EQ(missed.Note(L"one-too-many.exe", tunnel, remote(1)), Verdict::Missed);
  const MissedSummary summary = missed.Summary();
  EXPECT_EQ(summary.Apps.size(), kMissedAppsAtMost);
  EXPECT_EQ(summary.Total, kMissedAddressesAtMost + 1 + kMissedAppsAtMost);
  EXPECT_FALSE(missed.LastWentThroughTunnel(L"one-too-many.exe", remote(1)));
}

}  // namespace
