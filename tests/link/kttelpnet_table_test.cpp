// The robot table, the own profile and the discovery of other robots.
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

  ASSERT_EQ(0, system("ip link add wlan0 type veth peer name wlan0p && "
                      "ip addr add 198.18.7.9/15 dev wlan0 && ip link set wlan0 up"));
  EXPECT_EQ("198.18.7.9", net->getIpadress());
  EXPECT_TRUE(logged("このロボットのIPアドレス = 198.18.7.9"));
}

TEST_F(TelpnetTest, LookupsSeeOnlyTheRowsOfTheLastSearch) {
  receive({"ktmyprofile:robota:192.168.1.12", "ktmyprofile:robotb:192.168.1.13",
           "ktmyprofile:robota:192.168.1.99", "x:Robota:192.168.1.12"},
          3);
  EXPECT_EQ((Rows{"robota&192.168.1.12", "robotb&192.168.1.13", "Robota&192.168.1.12"}),
            robotList());
  char name[KTRobot::kTextSize] = "";
  log.clear();
  // Two rows with one address: the lower one answers.
  ASSERT_TRUE(net->getRobotNameFromIP("192.168.1.12", name));
  EXPECT_STREQ("robota", name);
  EXPECT_EQ((Rows{"IPからロボット名を取得 IP = [192.168.1.12]　認識ロボット数 = 3",
                  "ktrobot IP = [192.168.1.12] name = [robota]", "一致しました。"}),
            log.messages("ktvesper"));
  net->getIPFromRobotName("robotb", name);
  EXPECT_STREQ("192.168.1.13", name);
  EXPECT_FALSE(net->checkRobot("ROBOTB"));  // names are compared exactly
  EXPECT_EQ(-1, net->getSocketFromRobotName("robotb"));  // never connected

  // A smaller search: the rows beyond it keep old data that nobody sees.
  receive({"ktmyprofile:robotc:192.168.1.14"}, 1);
  EXPECT_EQ((Rows{"robotc&192.168.1.14"}), robotList());
  EXPECT_FALSE(net->checkRobot("robotb"));
  EXPECT_FALSE(net->getRobotNameFromIP("192.168.1.13", name));
}

TEST_F(TelpnetTest, EachDatagramIsReadAsThreeColonFields) {
  struct Case {
    std::string datagram;
    Rows rows;
  } cases[] = {
      {"hello:robota:192.168.1.12", {"robota&192.168.1.12"}},
      {"ktmyprofile::robota::192.168.1.12", {"robota&192.168.1.12"}},
      {"ktmyprofile:robota", {}},
      {"a:b:c:d", {"b&c"}},
      {"", {}},
      // Fields the table cannot hold are no robot of ours.
      {"ktmyprofile:" + std::string(KTRobot::kTextSize, 'n') + ":192.168.1.12", {}},
      {"ktmyprofile:robota:" + std::string(300, '1'), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.datagram.substr(0, 40));
    // A last robot ends the search at once.
    Rows expected = c.rows;
    expected.push_back("end&198.18.0.9");
    receive({c.datagram, "k:end:198.18.0.9"}, static_cast<int>(expected.size()));
    EXPECT_EQ(expected, robotList());
  }
  std::string many;
  for (int i = 0; i < 60; ++i) many += std::to_string(i) + ":";
  char* fields[KTTelpnet::kMaxFields];
  ASSERT_EQ(50, net->split(&many[0], ":", fields));
  EXPECT_STREQ("49", fields[49]);
}

TEST_F(TelpnetTest, ASearchWithoutEnoughRobotsEndsAtItsBound) {
  receive({"ktmyprofile:robota:198.18.0.1"}, 5);
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
  EXPECT_TRUE(log.has(qi::LogLevel_Warning, "ktvesper", "ロボット情報の受信ポートを開けません。"));
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

  // The own name holds 127 bytes.
  kt::test::TempRoot root;
  for (const std::string& name : {std::string(124, 'x') + "ロ", std::string(126, 'x') + "ロボ"}) {
    kt::sim::Robot robot(name);
    KTTelpnet net(robot.broker(), robot.broker()->getSpecialisedProxy<AL::ALMemoryProxy>("ALMemory"));
    EXPECT_EQ(name.size() <= 127 ? name : std::string(126, 'x'), net.getRobotName());
    robot.shutdown();
  }
}

}  // namespace
