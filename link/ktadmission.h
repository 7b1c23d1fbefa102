// KTAdmission: what one discovery datagram does to the running search:
// taken into the robot table, passed over and why, or taking rows out of
// it. It keeps what the search remembers of the claims it heard and does
// no I/O, so that every rule can be tried with a text and a source.
#ifndef KTADMISSION_H
#define KTADMISSION_H

#include <netinet/in.h>

#include <cstddef>
#include <set>
#include <string>
#include <vector>

class KTAdmission {
public:
  static const int kMaxRows = 50;
  static const int kMaxFields = 50;
  // The longest datagram the receive buffer takes whole; a longer one
  // arrives cut.
  static const size_t kMaxDatagram = 1999;
  // Names and addresses that one search refused or saw proven. Once that
  // many are kept, the search takes no new robot: what it could not keep
  // must never be taken.
  static const size_t kMaxRemembered = 1024;
  // Senders of one search whose first datagram is told about.
  static const size_t kMaxHeardSenders = 256;
  // The first field of a robot's announcement.
  static const char* const kProfileTag;

  enum Leaving {
    kNameContested,     // another sender claimed its name
    kAddressContested,  // another sender claimed its address
    kGaveWay            // the owner of its address announced itself
  };

  // A row that leaves the table: the rows after it move up, in order.
  struct Removal {
    int row;  // as the table stood when it left
    Leaving why;
    std::string name;
    std::string address;
    in_addr_t source;  // where that row's datagram came from
  };

  struct Decision {
    Decision();
    // The datagram gives the table's new last row: name and address.
    bool taken;
    // When not taken: why it was passed over, or 0 when there is nothing to
    // say (an empty datagram, a claim that took rows out, a robot's own
    // datagram that proves its row).
    const char* why;
    // The sender's first datagram in this search.
    bool firstWord;
    // Taken with an address other than its source (another interface).
    bool elsewhere;
    // The search stopped taking robots with this datagram.
    bool nowFull;
    std::string text;  // up to the first NUL
    std::string name;
    std::string address;
    std::vector<Removal> removals;  // in the order they happened
  };

  struct Row {
    std::string name;
    std::string address;
    in_addr_t source;
  };

  KTAdmission();

  // A new search: no row, nothing remembered.
  void start();
  // The datagram of size bytes from source, of which data holds the first
  // kMaxDatagram at most.
  Decision admit(const char* data, size_t size, in_addr_t source);
  int rows() const { return static_cast<int>(fRows.size()); }
  const Row& row(int i) const { return fRows[static_cast<size_t>(i)]; }

  // Why other robots could not take this name into their tables and read
  // it back from the list texts, or 0 when they can.
  static const char* nameFault(const char* name);
  // Cuts str in place at runs of the delimiters; at most kMaxFields.
  static int split(char* str, const char* delim, char** outlist);

private:
  bool claim(Decision& d, const std::string& name, const std::string& address, in_addr_t source,
             bool proves);
  int rowNamed(const std::string& name) const;
  int rowAt(const std::string& address) const;
  bool hasRowFrom(in_addr_t source) const;
  bool owned(const std::string& address, in_addr_t source) const;
  void remove(Decision& d, int row, Leaving why);
  // Keeps text in one of the sets; false when there is no more room.
  bool remember(std::set<std::string>& kept, const std::string& text, Decision& d);
  bool firstWordFrom(in_addr_t source);

  std::vector<Row> fRows;
  std::set<std::string> fRefusedNames;
  std::set<std::string> fRefusedAddresses;
  std::set<std::string> fProvenAddresses;
  std::vector<in_addr_t> fHeard;
  bool fFull;
};

#endif
