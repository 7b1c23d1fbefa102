// What one discovery datagram from one source does to a search: plain
// texts and sources, no socket. The forms of a datagram that the table
// test already tries are not tried again here.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <string>
#include <vector>

#include "ktadmission.h"

namespace {

const std::string kNameRefused = "二つの送信元が同じ名前を知らせています";
const std::string kAddressRefused = "二つの送信元が同じアドレスを知らせています";
const std::string kOwned = "このアドレスは持ち主のものです";
const std::string kOneRow = "この送信元のロボットはもういます";
const std::string kFull = "ロボット情報を覚えきれないので、この探索ではもう登録しません";

// What the datagram did: each row it took out ("out ROW NAME (why)"), then
// "taken" (with "+" when from another address than it announces) or why it
// was passed over.
std::string say(KTAdmission& search, const std::string& datagram, const std::string& from) {
  KTAdmission::Decision d = search.admit(datagram.data(), datagram.size(), inet_addr(from.c_str()));
  static const char* const kLeaving[] = {"name", "address", "gave way"};
  std::string out;
  for (const KTAdmission::Removal& r : d.removals)
    out += "out " + std::to_string(r.row) + " " + r.name + " (" + kLeaving[r.why] + "); ";
  out += d.taken ? (d.elsewhere ? "taken+" : "taken") : d.why ? d.why : "";
  return d.nowFull ? out + "; now full" : out;
}

// Announcement of name with the address, short for 198.18.ADDRESS.
std::string p(const std::string& name, const std::string& address) {
  return "ktmyprofile:" + name + ":198.18." + address;
}

TEST(AdmissionTest, EachDatagramInTurnTakesPassesOverOrTakesRowsOut) {
  const std::string pad(2000 - p("cut", "7.150").size(), ':');
  struct Step {
    std::string datagram, from, outcome;  // from "": a new search
  };
  const std::vector<Step> steps = {
      // What the receive cut is refused whole; what fits, up to a NUL, is read.
      {pad + p("cut", "7.150"), "0.13", "ロボット情報が受信バッファより長く、切れています"},
      {pad.substr(2) + p("fits", "7.150"), "0.14", "taken+"},
      {std::string("ktmyprofile:nul:198.18.0.18\0:junk", 33), "0.18", "taken"},
      {p("\xf4\x8f\xbf\xbf", "0.16"), "0.16", "taken"},  // U+10FFFF
      {p("\xf4\x90\x80\x80", "0.9"), "0.9", "名前がUTF-8ではありません"},
      // A name, or an address, of two senders is nobody's, whichever row.
      {"", "", ""},
      {p("r1", "0.1"), "0.1", "taken"},
      {p("r2", "0.2"), "0.2", "taken"},
      {p("r3", "0.3"), "0.3", "taken"},
      {p("r2", "0.9"), "0.9", "out 1 r2 (name); "},
      {p("r2", "0.2"), "0.2", kNameRefused},
      {p("other2", "0.2"), "0.2", "taken"},  // the name is refused, not the address
      {p("w1", "7.99"), "0.10", "taken+"},
      {p("w2", "7.99"), "0.11", "out 3 w1 (address); "},
      {p("w1", "7.99"), "0.10", kAddressRefused},
      {p("w1", "0.10"), "0.10", "taken"},  // the address is refused, not the name
      {p("owner", "7.99"), "7.99", "taken"},  // but its owner has it
      {p("r1", "7.1"), "0.1", "同じ名前のロボットがもういます"},
      {p("again", "0.1"), "0.1", "同じアドレスのロボットがもういます"},
      {p("again", "7.1"), "0.1", kOneRow},
      {p("r1", "0.13"), "0.13", "out 0 r1 (name); "},
      // A known name with another sender's address: both are contested.
      {"", "", ""},
      {p("b", "7.9"), "0.2", "taken+"},
      {p("a", "0.1"), "0.1", "taken"},
      {p("a", "7.9"), "0.3", "out 0 b (address); out 0 a (name); "},
      {p("b", "0.4"), "0.4", "taken"},
      {p("c", "7.9"), "0.3", kAddressRefused},
      // robotb's address, copied or under another name, before and after
      // robotb speaks: it stays robotb's.
      {"", "", ""},
      {p("robotb", "0.2"), "9.1", "taken+"},
      {p("robotb", "0.2"), "9.2", "同じロボット情報がほかの送信元からも届きました"},
      {p("robotb", "0.2"), "0.2", ""},
      {p("robotb", "0.2"), "9.3", kOwned},
      {p("evil", "0.2"), "9.1", kOwned},
      {p("evil", "0.3"), "9.4", "taken+"},
      {p("robotc", "0.3"), "0.3", "out 1 evil (gave way); taken"},
      {p("x1", "0.4"), "9.5", "taken+"},
      {p("x2", "0.4"), "9.6", "out 2 x1 (address); "},
      {p("robotd", "0.4"), "0.4", "taken"},  // over the refusal
      // Another interface's address proves nothing; the one sent from is
      // the sender's own.
      {p("robote", "0.5"), "1.5", "taken+"},
      {p("x4", "1.5"), "9.9", kOwned},
      {p("x3", "0.5"), "9.7", "out 3 robote (address); "},
      // The name proves nothing either; the address stays proven.
      {p("robotb", "9.8"), "9.8", "out 0 robotb (name); "},
      {p("robotz", "0.2"), "9.10", kOwned},
      // A sender with a row does not take a copy of its own over.
      {p("robotf", "0.6"), "9.11", "taken+"},
      {p("other", "7.6"), "0.6", "taken+"},
      {p("robotf", "0.6"), "0.6", kOneRow},
  };
  KTAdmission search;
  for (const Step& s : steps) {
    if (s.from.empty()) {
      search.start();
      continue;
    }
    EXPECT_EQ(s.outcome, say(search, s.datagram, "198.18." + s.from)) << s.datagram.substr(0, 40);
  }
}

TEST(AdmissionTest, ARefusalIsNeverForgottenAndOneThatCannotBeKeptStopsTheSearchTaking) {
  // A host with two addresses contests name after name: its two addresses
  // and every name are kept until there is no room for one more, whose
  // contest still takes its row out; then no robot is taken.
  KTAdmission search;
  auto contest = [&](const std::string& name) {
    std::string first = say(search, p(name, "9.1"), "198.18.9.1");
    return first + " / " + say(search, p(name, "9.2"), "198.18.9.2");
  };
  auto contested = [](const std::string& name) { return "taken / out 0 " + name + " (name); "; };
  for (int i = 0; i < static_cast<int>(KTAdmission::kMaxRemembered) - 2; ++i)
    ASSERT_EQ(contested("n" + std::to_string(i)), contest("n" + std::to_string(i)));
  EXPECT_EQ(contested("last") + "; now full", contest("last"));
  EXPECT_EQ(kFull, say(search, p("last", "9.1"), "198.18.9.1"));
  EXPECT_EQ(kFull, say(search, p("robotc", "0.3"), "198.18.0.3"));
  EXPECT_EQ(kNameRefused, say(search, p("n0", "9.3"), "198.18.9.3"));
}

}  // namespace
