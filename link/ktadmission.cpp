#include "ktadmission.h"

#include <arpa/inet.h>
#include <string.h>

#include <algorithm>
#include <cstring>

#include "ktrobot.h"

// Defined here too: streams and tests take them by reference.
const int KTAdmission::kMaxRows;
const int KTAdmission::kMaxFields;
const size_t KTAdmission::kMaxDatagram;
const size_t KTAdmission::kMaxRemembered;
const size_t KTAdmission::kMaxHeardSenders;
const char* const KTAdmission::kProfileTag = "ktmyprofile";

namespace {

const char* const kBadName = "名前が空か長すぎるか、「:」「&」や制御文字があります";
// What a row's buffers hold, NUL aside.
const size_t kMaxText = KTRobot::kTextSize - 1;

// Whether text is well-formed UTF-8: a name is shown to clients as text,
// and must come back from them as the same bytes.
bool validUtf8(const unsigned char* c) {
  while (*c) {
    unsigned int code, least;
    int more;
    if (*c < 0x80) {
      ++c;
      continue;
    } else if ((*c & 0xE0) == 0xC0) {
      more = 1, code = *c & 0x1F, least = 0x80;
    } else if ((*c & 0xF0) == 0xE0) {
      more = 2, code = *c & 0x0F, least = 0x800;
    } else if ((*c & 0xF8) == 0xF0) {
      more = 3, code = *c & 0x07, least = 0x10000;
    } else {
      return false;
    }
    // A NUL among the continuation bytes ends the walk here.
    for (int i = 1; i <= more; ++i) {
      if ((c[i] & 0xC0) != 0x80) return false;
      code = (code << 6) | (c[i] & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    c += more + 1;
  }
  return true;
}

// An address a robot can have: not 0.0.0.0/8, multicast, reserved or the
// broadcast address.
bool unicast(in_addr_t address) {
  unsigned long a = ntohl(address);
  return (a >> 24) != 0 && (a >> 28) < 14;
}

// An address announced for another interface of the robot than the one its
// datagram left from: one it can have, and not its loopback, written as the
// system writes it so that the lookups by address find it.
bool usableElsewhere(const char* text) {
  struct in_addr a;
  char canonical[INET_ADDRSTRLEN] = "";
  return inet_pton(AF_INET, text, &a) == 1 && inet_ntop(AF_INET, &a, canonical, sizeof canonical) &&
         std::strcmp(canonical, text) == 0 && unicast(a.s_addr) && (ntohl(a.s_addr) >> 24) != 127;
}

}  // namespace

KTAdmission::Decision::Decision()
  : taken(false), why(0), firstWord(false), elsewhere(false), nowFull(false) {}

KTAdmission::KTAdmission() : fFull(false) {}

void KTAdmission::start() {
  fRows.clear();
  fRefusedNames.clear();
  fRefusedAddresses.clear();
  fProvenAddresses.clear();
  fHeard.clear();
  fFull = false;
}

const char* KTAdmission::nameFault(const char* name) {
  size_t n = std::strlen(name);
  if (n == 0 || n > kMaxText) return kBadName;
  for (const unsigned char* c = reinterpret_cast<const unsigned char*>(name); *c; ++c)
    if (*c == ':' || *c == '&' || *c < 0x20 || *c == 0x7F) return kBadName;
  if (!validUtf8(reinterpret_cast<const unsigned char*>(name))) return "名前がUTF-8ではありません";
  return 0;
}

int KTAdmission::split(char* str, const char* delim, char** outlist) {
  int n = 0;
  char* rest = 0;
  char* field = strtok_r(str, delim, &rest);
  while (field != 0) {
    outlist[n++] = field;
    if (n == kMaxFields) break;
    field = strtok_r(0, delim, &rest);
  }
  return n;
}

KTAdmission::Decision KTAdmission::admit(const char* data, size_t size, in_addr_t source) {
  Decision d;
  bool cut = size > kMaxDatagram;
  d.text.assign(data, strnlen(data, cut ? kMaxDatagram : size));
  if (d.text.empty() && !cut) return d;
  d.firstWord = firstWordFrom(source);

  char sender[INET_ADDRSTRLEN] = "";
  struct in_addr from;
  from.s_addr = source;
  inet_ntop(AF_INET, &from, sender, sizeof sender);
  char text[kMaxDatagram + 1];
  std::memcpy(text, d.text.data(), d.text.size());
  text[d.text.size()] = '\0';
  char* fields[kMaxFields];
  int n = split(text, ":", fields);

  // Only what reads as a robot's own announcement is taken: anyone on the
  // network can send to this port. A robot may announce the address of
  // another of its interfaces than the one its datagram left from.
  bool proves = false;
  if (cut) {
    d.why = "ロボット情報が受信バッファより長く、切れています";
  } else if (n < 3 || std::strcmp(fields[0], kProfileTag) != 0) {
    d.why = "ロボットの自己情報ではありません";
  } else if ((d.why = nameFault(fields[1])) != 0) {
  } else if (!unicast(source)) {
    d.why = "送信元のアドレスが使えません";
  } else if (!(proves = std::strcmp(fields[2], sender) == 0) && !usableElsewhere(fields[2])) {
    d.why = "アドレスが送信元と違い、ロボットのアドレスとしても使えません";
  } else if (!claim(d, fields[1], fields[2], source, proves)) {
  } else if (fFull) {
    d.why = "ロボット情報を覚えきれないので、この探索ではもう登録しません";
  } else {
    d.taken = true;
    d.name = fields[1];
    d.address = fields[2];
    d.elsewhere = !proves;
    Row row;
    row.name = d.name;
    row.address = d.address;
    row.source = source;
    fRows.push_back(row);
  }
  return d;
}

// The rules between claims: a sender has one row; a name, or an address,
// that two senders claim is taken for neither, now or later in the search;
// but an address announced from itself, or that a datagram came from, is
// that sender's. True when the claim may be taken; else d says why not, or
// the rows it took out.
bool KTAdmission::claim(Decision& d, const std::string& name, const std::string& address,
                        in_addr_t source, bool proves) {
  int holder = rowAt(address), namesake = rowNamed(name);
  if (proves) {
    if (holder >= 0 && holder != namesake && fRows[holder].source != source) {
      remove(d, holder, kGaveWay);
      if (namesake > holder) --namesake;
      holder = -1;
    }
    remember(fProvenAddresses, address, d);
  } else if (owned(address, source)) {
    d.why = "このアドレスは持ち主のものです";
    return false;
  }
  if (holder >= 0 && holder == namesake) {
    // The same robot heard again. From another source it is no claim: a
    // copy of its datagram, or the robot itself, which proves its row.
    if (fRows[holder].source == source)
      d.why = "同じ名前のロボットがもういます";
    else if (!proves)
      d.why = "同じロボット情報がほかの送信元からも届きました";
    else if (hasRowFrom(source))
      d.why = "この送信元のロボットはもういます";
    else
      fRows[holder].source = source;
    return false;
  }
  // Two senders of one address, neither of them from it; and of one name:
  // nothing tells which of the two is that robot.
  bool contested = false;
  if (!proves && holder >= 0 && fRows[holder].source != source) {
    remember(fRefusedAddresses, address, d);
    remove(d, holder, kAddressContested);
    if (namesake > holder) --namesake;
    holder = -1;
    contested = true;
  }
  if (namesake >= 0 && fRows[namesake].source != source) {
    remember(fRefusedNames, name, d);
    remove(d, namesake, kNameContested);
    return false;
  }
  if (contested) return false;
  if (fRefusedNames.count(name))
    d.why = "二つの送信元が同じ名前を知らせています";
  else if (!proves && fRefusedAddresses.count(address))
    d.why = "二つの送信元が同じアドレスを知らせています";
  else if (namesake >= 0)
    d.why = "同じ名前のロボットがもういます";
  else if (holder >= 0)
    d.why = "同じアドレスのロボットがもういます";
  else if (hasRowFrom(source))
    d.why = "この送信元のロボットはもういます";
  else if (rows() >= kMaxRows)
    d.why = "ロボットの表がいっぱいです";
  return d.why == 0;
}

int KTAdmission::rowNamed(const std::string& name) const {
  for (size_t i = 0; i < fRows.size(); ++i)
    if (fRows[i].name == name) return static_cast<int>(i);
  return -1;
}

int KTAdmission::rowAt(const std::string& address) const {
  for (size_t i = 0; i < fRows.size(); ++i)
    if (fRows[i].address == address) return static_cast<int>(i);
  return -1;
}

bool KTAdmission::hasRowFrom(in_addr_t source) const {
  for (size_t i = 0; i < fRows.size(); ++i)
    if (fRows[i].source == source) return true;
  return false;
}

// Whether address is another sender's than source: one it announced from
// itself, or one its datagram came from (a robot on two interfaces).
bool KTAdmission::owned(const std::string& address, in_addr_t source) const {
  if (fProvenAddresses.count(address)) return true;
  struct in_addr a;
  if (inet_pton(AF_INET, address.c_str(), &a) != 1) return false;
  for (size_t i = 0; i < fRows.size(); ++i)
    if (fRows[i].source == a.s_addr && fRows[i].source != source) return true;
  return false;
}

void KTAdmission::remove(Decision& d, int row, Leaving why) {
  Removal r;
  r.row = row;
  r.why = why;
  r.name = fRows[row].name;
  r.address = fRows[row].address;
  r.source = fRows[row].source;
  d.removals.push_back(r);
  fRows.erase(fRows.begin() + row);
}

bool KTAdmission::remember(std::set<std::string>& kept, const std::string& text, Decision& d) {
  if (kept.count(text)) return true;
  if (fRefusedNames.size() + fRefusedAddresses.size() + fProvenAddresses.size() >= kMaxRemembered) {
    if (!fFull) d.nowFull = true;
    fFull = true;
    return false;
  }
  kept.insert(text);
  return true;
}

bool KTAdmission::firstWordFrom(in_addr_t source) {
  if (std::find(fHeard.begin(), fHeard.end(), source) != fHeard.end()) return false;
  if (fHeard.size() >= kMaxHeardSenders) return false;
  fHeard.push_back(source);
  return true;
}
