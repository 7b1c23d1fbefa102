// What one discovery datagram from one source does to a search: plain
// texts and sources, no socket.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "ktadmission.h"

namespace {

using Texts = std::vector<std::string>;

const std::string kNotProfile = "ロボットの自己情報ではありません";
const std::string kBadName = "名前が空か長すぎるか、「:」「&」や制御文字があります";
const std::string kNotUtf8 = "名前がUTF-8ではありません";
const std::string kBadAddress = "アドレスが送信元と違い、ロボットのアドレスとしても使えません";
const std::string kNameRefused = "二つの送信元が同じ名前を知らせています";
const std::string kAddressRefused = "二つの送信元が同じアドレスを知らせています";
const std::string kOwned = "このアドレスは持ち主のものです";
const std::string kCopy = "同じロボット情報がほかの送信元からも届きました";
const std::string kFull = "ロボット情報を覚えきれないので、この探索ではもう登録しません";

class AdmissionTest : public ::testing::Test {
protected:
  // What the datagram did, in a few words: "taken", the reason it was
  // passed over, and each row it took out with why.
  std::string say(const std::string& datagram, const std::string& from) {
    KTAdmission::Decision d = search.admit(datagram.data(), datagram.size(), inet_addr(from.c_str()));
    Texts parts;
    static const char* const kLeaving[] = {"name", "address", "gave way"};
    for (const KTAdmission::Removal& r : d.removals) {
      struct in_addr source;
      source.s_addr = r.source;
      parts.push_back("out " + std::to_string(r.row) + " " + r.name + "&" + r.address + " of " +
                      inet_ntoa(source) + " (" + kLeaving[r.why] + ")");
    }
    if (d.taken) parts.push_back(d.elsewhere ? "taken elsewhere" : "taken");
    if (d.why) parts.push_back(d.why);
    if (d.nowFull) parts.push_back("now full");
    std::string out;
    for (const std::string& p : parts) out += (out.empty() ? "" : "; ") + p;
    lastFirstWord = d.firstWord;
    return out;
  }

  Texts table() const {
    Texts rows;
    for (int i = 0; i < search.rows(); ++i) {
      struct in_addr source;
      source.s_addr = search.row(i).source;
      rows.push_back(search.row(i).name + "&" + search.row(i).address + " of " + inet_ntoa(source));
    }
    return rows;
  }

  KTAdmission search;
  bool lastFirstWord = false;
};

TEST_F(AdmissionTest, OnlyAWholeAnnouncementOfAUsableNameAndAddressIsTaken) {
  const std::string pad(2000 - std::string("ktmyprofile:cutname:198.18.7.150").size(), ':');
  struct Case {
    std::string datagram, from, outcome;
  };
  const std::vector<Case> cases = {
      {"hello:tagless:198.18.0.1", "198.18.0.1", kNotProfile},
      {"ktmyprofile:robota", "198.18.0.2", kNotProfile},
      {"ktmyprofile:a&b:198.18.0.3", "198.18.0.3", kBadName},
      {"ktmyprofile:tab\tname:198.18.0.4", "198.18.0.4", kBadName},
      {"ktmyprofile:" + std::string(256, 'n') + ":198.18.0.5", "198.18.0.5", kBadName},
      {"ktmyprofile:bad\xc3\x28:198.18.0.6", "198.18.0.6", kNotUtf8},
      {"ktmyprofile:\xc0\xaf:198.18.0.7", "198.18.0.7", kNotUtf8},
      {"ktmyprofile:\xed\xa0\x80:198.18.0.8", "198.18.0.8", kNotUtf8},
      {"ktmyprofile:\xf4\x90\x80\x80:198.18.0.9", "198.18.0.9", kNotUtf8},  // above U+10FFFF
      {"ktmyprofile:group:224.0.0.1", "224.0.0.1", "送信元のアドレスが使えません"},
      {"ktmyprofile:zero:0.0.0.0", "198.18.0.10", kBadAddress},
      {"ktmyprofile:odd:198.018.7.1", "198.18.0.11", kBadAddress},
      {"ktmyprofile:loop:127.0.0.1", "198.18.0.12", kBadAddress},
      // The buffer takes 1999 bytes: the rest would have cut the address.
      {pad + "ktmyprofile:cutname:198.18.7.150", "198.18.0.13", "ロボット情報が受信バッファより長く、切れています"},
      {pad.substr(1) + "ktmyprofile:fits:198.18.7.150", "198.18.0.14", "taken elsewhere"},
      {"ktmyprofile:" + std::string(255, 'n') + ":198.18.0.15", "198.18.0.15", "taken"},
      {"ktmyprofile:\xf4\x8f\xbf\xbf:198.18.0.16", "198.18.0.16", "taken"},  // U+10FFFF
      {"ktmyprofile::robotc::198.18.0.17:more", "198.18.0.17", "taken"},
      {std::string("ktmyprofile:nul:198.18.0.18\0:junk", 33), "198.18.0.18", "taken"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.outcome, say(c.datagram, c.from)) << c.datagram.substr(0, 40);
  EXPECT_EQ((Texts{"fits&198.18.7.150 of 198.18.0.14",
                   std::string(255, 'n') + "&198.18.0.15 of 198.18.0.15",
                   "\xf4\x8f\xbf\xbf&198.18.0.16 of 198.18.0.16", "robotc&198.18.0.17 of 198.18.0.17",
                   "nul&198.18.0.18 of 198.18.0.18"}),
            table());

  // Each sender's first datagram is told; an empty one says nothing and is
  // not counted.
  EXPECT_EQ("", say("", "198.18.0.30"));
  EXPECT_FALSE(lastFirstWord);
  EXPECT_EQ(kNotProfile, say("hello", "198.18.0.30"));
  EXPECT_TRUE(lastFirstWord);
  EXPECT_EQ(kNotProfile, say("hello", "198.18.0.30"));
  EXPECT_FALSE(lastFirstWord);

  // A new search forgets the last.
  search.start();
  EXPECT_EQ(Texts{}, table());
  EXPECT_EQ("taken", say("ktmyprofile:robotc:198.18.0.30", "198.18.0.30"));
  EXPECT_TRUE(lastFirstWord);
}

TEST_F(AdmissionTest, ANameOrAnAddressClaimedByTwoSendersIsNobodysForTheRestOfTheSearch) {
  for (const std::string r : {"1", "2", "3", "4"})
    ASSERT_EQ("taken", say("ktmyprofile:robot" + r + ":198.18.0." + r, "198.18.0." + r));
  // A second sender of a name takes that row out, whichever it is.
  EXPECT_EQ("out 1 robot2&198.18.0.2 of 198.18.0.2 (name)",
            say("ktmyprofile:robot2:198.18.0.9", "198.18.0.9"));
  EXPECT_EQ((Texts{"robot1&198.18.0.1 of 198.18.0.1", "robot3&198.18.0.3 of 198.18.0.3",
                   "robot4&198.18.0.4 of 198.18.0.4"}),
            table());
  EXPECT_EQ(kNameRefused, say("ktmyprofile:robot2:198.18.0.2", "198.18.0.2"));
  EXPECT_EQ(kNameRefused, say("ktmyprofile:robot2:198.18.0.9", "198.18.0.9"));
  // The name is refused, not the addresses that came with it.
  EXPECT_EQ("taken", say("ktmyprofile:other2:198.18.0.2", "198.18.0.2"));

  // Two senders of an address another interface would have.
  EXPECT_EQ("taken elsewhere", say("ktmyprofile:wifi:198.18.7.99", "198.18.0.10"));
  EXPECT_EQ("out 4 wifi&198.18.7.99 of 198.18.0.10 (address)",
            say("ktmyprofile:wifi2:198.18.7.99", "198.18.0.11"));
  EXPECT_EQ(kAddressRefused, say("ktmyprofile:wifi3:198.18.7.99", "198.18.0.12"));
  EXPECT_EQ(kAddressRefused, say("ktmyprofile:wifi:198.18.7.99", "198.18.0.10"));
  // The address is refused, not the names.
  EXPECT_EQ("taken", say("ktmyprofile:wifi:198.18.0.10", "198.18.0.10"));
  // But its owner, announcing it from itself, has it.
  EXPECT_EQ("taken", say("ktmyprofile:owner:198.18.7.99", "198.18.7.99"));

  // One sender, one row: itself again, or another name or address of its.
  EXPECT_EQ("同じ名前のロボットがもういます", say("ktmyprofile:robot1:198.18.0.1", "198.18.0.1"));
  EXPECT_EQ("同じ名前のロボットがもういます", say("ktmyprofile:robot1:198.18.7.1", "198.18.0.1"));
  EXPECT_EQ("同じアドレスのロボットがもういます", say("ktmyprofile:again:198.18.0.1", "198.18.0.1"));
  EXPECT_EQ("この送信元のロボットはもういます", say("ktmyprofile:again:198.18.7.1", "198.18.0.1"));
  // Two senders that each announce their own address under one name.
  EXPECT_EQ("out 0 robot1&198.18.0.1 of 198.18.0.1 (name)",
            say("ktmyprofile:robot1:198.18.0.13", "198.18.0.13"));

  // A claim of a known name and of another sender's address contests both.
  search.start();
  ASSERT_EQ("taken elsewhere", say("ktmyprofile:b:198.18.7.9", "198.18.0.2"));
  ASSERT_EQ("taken", say("ktmyprofile:a:198.18.0.1", "198.18.0.1"));
  EXPECT_EQ("out 0 b&198.18.7.9 of 198.18.0.2 (address); out 0 a&198.18.0.1 of 198.18.0.1 (name)",
            say("ktmyprofile:a:198.18.7.9", "198.18.0.3"));
  EXPECT_EQ("taken", say("ktmyprofile:b:198.18.0.4", "198.18.0.4"));
  EXPECT_EQ(kAddressRefused, say("ktmyprofile:c:198.18.7.9", "198.18.0.3"));
}

TEST_F(AdmissionTest, ARobotHeardFromItsOwnAddressKeepsItsRow) {
  const std::string robotb = "ktmyprofile:robotb:198.18.0.2";
  // Before robotb speaks: a copy of its datagram from another address of a
  // host is taken as robotb's (its address is robotb's), a second copy
  // from elsewhere is no claim; robotb itself then proves the row.
  EXPECT_EQ("taken elsewhere", say(robotb, "198.18.9.1"));
  EXPECT_EQ(kCopy, say(robotb, "198.18.9.2"));
  EXPECT_EQ("", say(robotb, "198.18.0.2"));
  EXPECT_EQ(Texts{"robotb&198.18.0.2 of 198.18.0.2"}, table());
  // After: its address is its own, whatever name comes with it.
  EXPECT_EQ(kOwned, say(robotb, "198.18.9.3"));
  EXPECT_EQ(kOwned, say("ktmyprofile:evil:198.18.0.2", "198.18.9.1"));
  EXPECT_EQ(Texts{"robotb&198.18.0.2 of 198.18.0.2"}, table());

  // Another name with robotc's address, before robotc speaks: that row
  // gives way to robotc, which is taken.
  EXPECT_EQ("taken elsewhere", say("ktmyprofile:evil:198.18.0.3", "198.18.9.4"));
  EXPECT_EQ("out 1 evil&198.18.0.3 of 198.18.9.4 (gave way); taken",
            say("ktmyprofile:robotc:198.18.0.3", "198.18.0.3"));
  EXPECT_EQ(kOwned, say("ktmyprofile:evil:198.18.0.3", "198.18.9.4"));

  // robotd's address refused by two other senders is still robotd's own.
  EXPECT_EQ("taken elsewhere", say("ktmyprofile:x1:198.18.0.4", "198.18.9.5"));
  EXPECT_EQ("out 2 x1&198.18.0.4 of 198.18.9.5 (address)",
            say("ktmyprofile:x2:198.18.0.4", "198.18.9.6"));
  EXPECT_EQ("taken", say("ktmyprofile:robotd:198.18.0.4", "198.18.0.4"));

  // A robot that announces another interface's address proves nothing:
  // another sender of that address takes it out. The address it sent from
  // is its own.
  EXPECT_EQ("taken elsewhere", say("ktmyprofile:robote:198.18.0.5", "198.18.1.5"));
  EXPECT_EQ(kOwned, say("ktmyprofile:x4:198.18.1.5", "198.18.9.9"));
  EXPECT_EQ("out 3 robote&198.18.0.5 of 198.18.1.5 (address)",
            say("ktmyprofile:x3:198.18.0.5", "198.18.9.7"));

  // The name is no one's proof: a second sender of robotb's name, with its
  // own address, takes robotb out as before.
  EXPECT_EQ("out 0 robotb&198.18.0.2 of 198.18.0.2 (name)",
            say("ktmyprofile:robotb:198.18.9.8", "198.18.9.8"));
  EXPECT_EQ((Texts{"robotc&198.18.0.3 of 198.18.0.3", "robotd&198.18.0.4 of 198.18.0.4"}), table());
  // robotb's address stays its own after its row went.
  EXPECT_EQ(kOwned, say("ktmyprofile:robotz:198.18.0.2", "198.18.9.10"));

  // A sender with a row of its own does not take a copy of its datagram
  // over as a second one.
  EXPECT_EQ("taken elsewhere", say("ktmyprofile:robotf:198.18.0.6", "198.18.9.11"));
  EXPECT_EQ("taken elsewhere", say("ktmyprofile:other:198.18.7.6", "198.18.0.6"));
  EXPECT_EQ("この送信元のロボットはもういます", say("ktmyprofile:robotf:198.18.0.6", "198.18.0.6"));
  EXPECT_EQ("robotf&198.18.0.6 of 198.18.9.11", table()[2]);
}

TEST_F(AdmissionTest, ARefusalIsNeverForgottenAndASearchThatCannotKeepOneTakesNoNewRobot) {
  // A host with two addresses contests 300 names, then robotb's.
  const std::string e1 = "198.18.9.1", e2 = "198.18.9.2";
  auto contest = [&](const std::string& name) {
    std::string first = say("ktmyprofile:" + name + ":" + e1, e1);
    return first + " / " + say("ktmyprofile:" + name + ":" + e2, e2);
  };
  auto contested = [&](const std::string& name) {
    return "taken / out 0 " + name + "&" + e1 + " of " + e1 + " (name)";
  };
  for (int i = 0; i < 300; ++i) ASSERT_EQ(contested("n" + std::to_string(i)), contest("n" + std::to_string(i)));
  EXPECT_EQ("taken", say("ktmyprofile:robotb:198.18.0.2", "198.18.0.2"));
  EXPECT_EQ("out 0 robotb&198.18.0.2 of 198.18.0.2 (name)", say("ktmyprofile:robotb:" + e1, e1));
  EXPECT_EQ(kNameRefused, say("ktmyprofile:robotb:" + e1, e1));
  EXPECT_EQ(kNameRefused, say("ktmyprofile:n0:198.18.9.3", "198.18.9.3"));

  // 301 names and four senders' own addresses are kept. The contest that finds no room
  // still takes its row out; from then on no robot is taken, not even one
  // whose refusal could not be kept.
  const int room = static_cast<int>(KTAdmission::kMaxRemembered) - 4 - 301;
  for (int i = 0; i < room; ++i) ASSERT_EQ(contested("m" + std::to_string(i)), contest("m" + std::to_string(i)));
  EXPECT_EQ(contested("last") + "; now full", contest("last"));
  EXPECT_EQ(kFull, say("ktmyprofile:last:" + e1, e1));
  EXPECT_EQ(kFull, say("ktmyprofile:robotc:198.18.0.3", "198.18.0.3"));
  EXPECT_EQ(kNameRefused, say("ktmyprofile:m0:198.18.9.3", "198.18.9.3"));
  EXPECT_EQ(Texts{}, table());
}

}  // namespace
