// The robot table, the own profile and the discovery of other robots.
// ctest-timeout: 300
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "link_fixture.h"

namespace {

using Rows = std::vector<std::string>;

class TelpnetTest : public kt::test::LinkTest {
protected:
  void SetUp() override {
    LinkTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    net.reset(new KTTelpnet(broker, broker->getSpecialisedProxy<AL::ALMemoryProxy>("ALMemory")));
  }

  // A search that ends once it has rnum robots (or at its bound).
  void receive(const Rows& datagrams, int rnum) {
    searchWith([&] { net->recvRobotInfo(rnum); }, datagrams);
  }

  Rows robotList() {
    char rows[KTTelpnet::kMaxRobots][KTTelpnet::kLineSize];
    return Rows(rows, rows + net->getRobotList(rows));
  }

  bool logged(const std::string& message) { return log.has(qi::LogLevel_Info, "ktvesper", message); }

  std::unique_ptr<KTTelpnet> net;
};

TEST_F(TelpnetTest, RightAfterConstructionNothingIsKnown) {
  EXPECT_STREQ("ruko", net->getRobotName());
  EXPECT_TRUE(logged("このロボットの名前 [ ruko ] をセットしました。"));
  EXPECT_TRUE(logged("このロボットのIPアドレス = 0.0.0.0"));  // no wlan0 here
  EXPECT_EQ(0, net->getRobotNumber());
  EXPECT_EQ(0, net->getConnectedClientNumber());
  char rows[KTTelpnet::kMaxRobots][KTTelpnet::kLineSize] = {"untouched"};
  EXPECT_EQ(0, net->getNameList(rows));
  EXPECT_EQ(0, net->getRobotList(rows));
  EXPECT_STREQ("untouched", rows[0]);
  EXPECT_FALSE(net->checkRobot("ruko"));
  EXPECT_EQ(-1, net->getSocketFromRobotName("ruko"));
  EXPECT_EQ(-1, net->getSocketFromIP("0.0.0.0"));
  char out[KTRobot::kTextSize] = "before";
  net->getIPFromRobotName("ruko", out);
  EXPECT_FALSE(net->getRobotNameFromIP("0.0.0.0", out));
  EXPECT_STREQ("before", out);
  EXPECT_TRUE(logged("ロボット名 name = before"));


  // Without an address the robot only listens; nothing it sends can leave.
  EXPECT_FALSE(net->prepareAnnouncement());
  EXPECT_TRUE(log.has(qi::LogLevel_Warning, "ktvesper",
                      "このロボットにはIPアドレスがないので、自己情報を送信しません。受信だけを行います。"));
  net->sendRobotInfo();
  EXPECT_TRUE(log.has(qi::LogLevel_Warning, "ktvesper",
                      "ブロードキャストパケットを送信できません： Network is unreachable = "
                      "ktmyprofile:ruko:0.0.0.0"));
  EXPECT_FALSE(logged("ブロードキャストパケット = ktmyprofile:ruko:0.0.0.0"));

  // The address is read again when a search starts.
  ASSERT_EQ(0, system("ip link add wlan0 type veth peer name wlan0p && "
                      "ip addr add 198.18.7.9/15 dev wlan0 && ip link set wlan0 up"));
  EXPECT_EQ("198.18.7.9", net->getIpadress());
  EXPECT_TRUE(logged("このロボットのIPアドレス = 198.18.7.9"));
  EXPECT_TRUE(net->prepareAnnouncement());
}

TEST_F(TelpnetTest, LookupsSeeOnlyTheRowsOfTheLastSearch) {
  receive({"ktmyprofile:robota:127.0.1.12", "ktmyprofile:robotb:127.0.1.13",
           "ktmyprofile:robota:127.0.1.12", "ktmyprofile:Robota:127.0.1.14"},
          3);
  EXPECT_EQ((Rows{"robota&127.0.1.12", "robotb&127.0.1.13", "Robota&127.0.1.14"}), robotList());
  char name[KTRobot::kTextSize] = "";
  log.clear();
  ASSERT_TRUE(net->getRobotNameFromIP("127.0.1.13", name));
  EXPECT_STREQ("robotb", name);
  EXPECT_EQ((Rows{"IPからロボット名を取得 IP = [127.0.1.13]　認識ロボット数 = 3",
                  "ktrobot IP = [127.0.1.12] name = [robota]",
                  "ktrobot IP = [127.0.1.13] name = [robotb]", "一致しました。"}),
            log.messages("ktvesper"));
  net->getIPFromRobotName("robotb", name);
  EXPECT_STREQ("127.0.1.13", name);
  EXPECT_FALSE(net->checkRobot("ROBOTB"));  // names are compared exactly
  EXPECT_EQ(-1, net->getSocketFromRobotName("robotb"));  // never connected

  // A smaller search: the rows beyond it keep old data that nobody sees.
  receive({"ktmyprofile:robotc:127.0.1.15"}, 1);
  EXPECT_EQ((Rows{"robotc&127.0.1.15"}), robotList());
  EXPECT_FALSE(net->checkRobot("robotb"));
  EXPECT_FALSE(net->getRobotNameFromIP("127.0.1.13", name));
}

TEST_F(TelpnetTest, OnlyARobotsOwnAnnouncementIsTakenOneRowASenderAndNoNameTwice) {
  // Each datagram comes from its first loopback field (a fourth field is
  // not read), else from 127.0.0.1.
  receive({"hello:tagless:127.0.1.1", "ktmyprofile:a&b:127.0.1.2",
           "ktmyprofile:tab\tname:127.0.1.3",
           "ktmyprofile:" + std::string(KTRobot::kTextSize, 'n') + ":127.0.1.4",
           "ktmyprofile:bad\xc3\x28:127.0.1.10", "ktmyprofile:\xc0\xaf:127.0.1.17",
           "ktmyprofile:\xed\xa0\x80:127.0.1.18",
           // A second sender claims robotb: neither has it, now or later.
           "ktmyprofile:robotb:127.0.1.6:extra", "ktmyprofile:robotb:127.0.1.13",
           "ktmyprofile:robotb:127.0.1.6", "ktmyprofile:robotb:127.0.1.14",
           // Another interface's address is taken when a robot can have it,
           // and no more than a name when a second sender claims it.
           "ktmyprofile:wifi:198.18.7.99:127.0.1.7", "ktmyprofile:wifi2:198.18.7.99:127.0.1.8",
           "ktmyprofile:wifi3:198.18.7.99:127.0.1.19", "ktmyprofile:zero:0.0.0.0:127.0.1.11",
           "ktmyprofile:odd:198.018.7.1:127.0.1.12", "ktmyprofile:group:224.0.0.1:127.0.1.15",
           "ktmyprofile:ロボ:127.0.1.16", "ktmyprofile::robota::127.0.1.5",
           "ktmyprofile:robota:127.0.1.5", "ktmyprofile:second:198.18.7.98:127.0.1.5",
           "ktmyprofile:end:127.0.9.9"},
          3);
  EXPECT_EQ((Rows{"ロボ&127.0.1.16", "robota&127.0.1.5", "end&127.0.9.9"}), robotList());
  Rows ignored;
  for (const std::string& m : log.messages("ktvesper"))
    if (m.rfind("受け取れないロボット情報を無視します。", 0) == 0)
      ignored.push_back(m.substr(m.find("送信元 = ")));
  const std::string badName = "理由 = 名前が空か長すぎるか、「:」「&」や制御文字があります";
  const std::string notUtf8 = "理由 = 名前がUTF-8ではありません";
  const std::string badAddress = "理由 = アドレスが送信元と違い、ロボットのアドレスとしても使えません";
  EXPECT_EQ((Rows{"送信元 = 127.0.1.1 理由 = ロボットの自己情報ではありません",
                  "送信元 = 127.0.1.2 " + badName, "送信元 = 127.0.1.3 " + badName,
                  "送信元 = 127.0.1.4 " + badName, "送信元 = 127.0.1.10 " + notUtf8,
                  "送信元 = 127.0.1.17 " + notUtf8, "送信元 = 127.0.1.18 " + notUtf8,
                  "送信元 = 127.0.1.14 理由 = 二つの送信元が同じ名前を知らせています",
                  "送信元 = 127.0.1.19 理由 = 二つの送信元が同じアドレスを知らせています",
                  "送信元 = 127.0.1.11 " + badAddress, "送信元 = 127.0.1.12 " + badAddress,
                  "送信元 = 127.0.1.15 " + badAddress}),
            ignored);
  EXPECT_TRUE(log.has(qi::LogLevel_Warning, "ktvesper",
                      "二つの送信元が同じ名前を知らせたので、どちらのロボットも登録しません。 "
                      "robot = robotb 送信元 = 127.0.1.6, 127.0.1.13"));
  EXPECT_TRUE(log.has(qi::LogLevel_Warning, "ktvesper",
                      "二つの送信元が同じアドレスを知らせたので、どちらのロボットも登録しません。 "
                      "IP = 198.18.7.99 送信元 = 127.0.1.7, 127.0.1.8"));
  EXPECT_TRUE(logged("このロボットは送信元と違うアドレスを知らせました。 robot = wifi 送信元 = "
                     "127.0.1.7 IP = 198.18.7.99"));
  EXPECT_TRUE(logged("recv: 'ktmyprofile::robota::127.0.1.5' (30)"));
  EXPECT_EQ(-1, net->getSocketFromRobotName("robotb"));

  std::string many;
  for (int i = 0; i < 60; ++i) many += std::to_string(i) + ":";
  char* fields[KTTelpnet::kMaxFields];
  ASSERT_EQ(50, net->split(&many[0], ":", fields));
  EXPECT_STREQ("49", fields[49]);
}

TEST_F(TelpnetTest, ARowTakenOutLeavesTheOthersInTheirOrderAndEachIsSaid) {
  auto take = [&](const std::string& datagram, const char* from) {
    struct in_addr source;
    inet_pton(AF_INET, from, &source);
    return net->takeRobotInfo(datagram.data(), datagram.size(), source);
  };
  for (const std::string r : {"1", "2", "3", "4"})
    ASSERT_TRUE(take("ktmyprofile:robot" + r + ":198.18.0." + r, ("198.18.0." + r).c_str()));
  ASSERT_TRUE(take("ktmyprofile:evil:198.18.0.5", "198.18.9.1"));
  EXPECT_FALSE(take("ktmyprofile:robot2:198.18.9.2", "198.18.9.2"));
  EXPECT_TRUE(take("ktmyprofile:robot5:198.18.0.5", "198.18.0.5"));
  EXPECT_EQ((Rows{"robot1&198.18.0.1", "robot3&198.18.0.3", "robot4&198.18.0.4", "robot5&198.18.0.5"}),
            robotList());
  EXPECT_TRUE(log.has(qi::LogLevel_Warning, "ktvesper",
                      "二つの送信元が同じ名前を知らせたので、どちらのロボットも登録しません。 "
                      "robot = robot2 送信元 = 198.18.0.2, 198.18.9.2"));
  EXPECT_TRUE(log.has(qi::LogLevel_Warning, "ktvesper",
                      "アドレスの持ち主が自分のアドレスを知らせたので、同じアドレスを知らせたロボットを"
                      "登録しません。 robot = evil IP = 198.18.0.5 送信元 = 198.18.9.1, 198.18.0.5"));
  // What follows the address is logged as one line whatever it holds.
  EXPECT_TRUE(take("ktmyprofile:robot6:198.18.0.6:\n[WARN] fake", "198.18.0.6"));
  EXPECT_TRUE(logged("recv: 'ktmyprofile:robot6:198.18.0.6:\\x0A[WARN] fake' (42)"));
}

TEST_F(TelpnetTest, ASearchWithoutEnoughRobotsEndsAtItsBound) {
  kt::test::Seam shortSearch(KTTelpnet::searchLimitMs, 500);
  receive({"ktmyprofile:robota:127.0.0.1"}, 5);
  Rows lines = log.messages("ktvesper");
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ((Rows{"ループスタート loop No. = 2", "時間がきたので、ロボット情報の受信を終了します。",
                  "指定台数のロボット情報の受信を終了します。受け取った台数 = 1"}),
            Rows(lines.end() - 3, lines.end()));
  EXPECT_EQ((Rows{"ロボット情報の受信を開始します。", "ロボット情報の受信を終了しました。"}),
            robot.textToSpeech().transcript());
  // The port is given back and nothing is left armed.
  EXPECT_EQ(0, robo_info_loop);
  EXPECT_FALSE(kt::test::portInUse("udp", KTTelpnet::kDiscoveryPort));

  // A port someone else holds: nothing is heard until the bound.
  int holder = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  struct sockaddr_in any = {};
  any.sin_family = AF_INET;
  any.sin_port = htons(KTTelpnet::kDiscoveryPort);
  ASSERT_EQ(0, bind(holder, reinterpret_cast<struct sockaddr*>(&any), sizeof any));
  net->recvRobotInfo(1);
  close(holder);
  EXPECT_TRUE(log.has(qi::LogLevel_Warning, "ktvesper",
                      "ロボット情報の受信ポートを開けません。 (Address already in use)"));
  EXPECT_EQ("時間がきたので、ロボット情報の受信を終了します。", log.messages("ktvesper").end()[-2]);
  EXPECT_EQ(0, net->getRobotNumber());

  struct tm t = {};
  t.tm_year = 2026 - 1900, t.tm_mon = 2, t.tm_mday = 7, t.tm_hour = 9, t.tm_min = 5, t.tm_sec = 3;
  char line[KTTelpnet::kLineSize];
  KTTelpnet::formatStartTime(&t, line, sizeof line);
  EXPECT_STREQ("相手ロボットの探索開始時間 => [07/03/2026:09:05:03] ", line);
  KTTelpnet::formatStartTime(localtime_r(&CONNECTEDTIME, &t), line, sizeof line);
  EXPECT_TRUE(logged(line)) << line;
}

TEST(KTRobotTest, TextsAreCutToTheirBuffersAtACharacterBoundary) {
  KTRobot row;
  EXPECT_STREQ("", row.getRobotName());
  std::string a;
  for (int i = 0; i < 100; ++i) a += "あ";  // 300 bytes
  row.setRobotName(a.c_str());
  EXPECT_EQ(a.substr(0, 255), row.getRobotName());
  row.setIpaddress(std::string(400, '1').c_str());
  EXPECT_EQ(std::string(255, '1'), row.getIpaddress());

  // The own name holds 127 bytes: a longer one is refused, not cut; one
  // that other robots cannot take is warned about.
  kt::test::TempRoot root;
  const std::string fits = std::string(124, 'x') + "ロ";
  for (auto c : std::vector<std::pair<std::string, std::string>>{
           {fits, fits},
           {std::string(126, 'x') + "ロボ", ""},
           {"robo:ta", "robo:ta"},
           {"robo\xffta", "robo\xffta"}}) {
    kt::test::LogCapture log;
    kt::sim::Robot robot(c.first);
    KTTelpnet net(robot.broker(), robot.broker()->getSpecialisedProxy<AL::ALMemoryProxy>("ALMemory"));
    EXPECT_EQ(c.second, net.getRobotName());
    EXPECT_EQ(c.first != fits, log.has(qi::LogLevel_Warning, "ktvesper",
                                       c.second.empty() ? "このロボットの名前が長すぎます： 中止 = 132バイト"
                                                        : "このロボットの名前は他のロボットに登録できません。名前は空にせず、「:」「&」や制御文字を使わず、UTF-8で書いてください。"));
    robot.shutdown();
  }
}

}  // namespace
