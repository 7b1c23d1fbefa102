// The command list and its operations.
#include "ktcommand_fixture.h"

namespace {

typedef std::vector<std::string> Words;

class ListTest : public kt::test::CommandTest {
protected:
  static Words walk(const std::string& label, const std::string& number) {
    return Words{"ktwalk", label, "まえ", number, ""};
  }
  static Words bad(const std::string& label) { return Words{"ktwalk", label, "うえ", "いち", ""}; }
  // A list a,b,c of one-metre walks.
  void fill() {
    ASSERT_TRUE(com->add(walk("a", "いち")));
    ASSERT_TRUE(com->add(walk("b", "に")));
    ASSERT_TRUE(com->add(walk("c", "さん")));
  }
};

TEST_F(ListTest, StartsOffAndEmpty) {
  EXPECT_FALSE(com->comstatus);
  EXPECT_EQ(0, com->size());
  EXPECT_TRUE(com->getAll().empty());
  EXPECT_EQ("", com->getAt(0));
}

TEST_F(ListTest, AddAppendsWhatTheConversionMakes) {
  fill();
  EXPECT_EQ((Words{"a,walk,1,0,0", "b,walk,2,0,0", "c,walk,3,0,0"}), com->getAll());
  EXPECT_FALSE(com->add(bad("d")));
  EXPECT_EQ(3, com->size());
  EXPECT_TRUE(warned("歩行に関する方向の与え方が不適切です。"));
}

TEST_F(ListTest, GetAtAndDeleteAtStayInBounds) {
  fill();
  EXPECT_EQ("a,walk,1,0,0", com->getAt(0));
  EXPECT_EQ("c,walk,3,0,0", com->getAt(2));
  EXPECT_EQ("", com->getAt(3));
  EXPECT_EQ("", com->getAt(-1));
  EXPECT_FALSE(com->deleteAt(3));
  EXPECT_FALSE(com->deleteAt(-1));
  EXPECT_EQ(3, com->size());
  EXPECT_TRUE(com->deleteAt(1));
  EXPECT_EQ((Words{"a,walk,1,0,0", "c,walk,3,0,0"}), com->getAll());
}

TEST_F(ListTest, InsertAtPositions) {
  fill();
  EXPECT_TRUE(com->insertAt(walk("front", "ご"), 0));
  EXPECT_TRUE(com->insertAt(walk("end", "ろく"), com->size()));
  EXPECT_TRUE(com->insertAt(walk("mid", "なな"), 2));
  EXPECT_EQ((Words{"front,walk,5,0,0", "a,walk,1,0,0", "mid,walk,7,0,0", "b,walk,2,0,0",
                   "c,walk,3,0,0", "end,walk,6,0,0"}),
            com->getAll());
  EXPECT_FALSE(com->insertAt(bad("x"), 1));
  EXPECT_EQ(6, com->size());

  // Outside the list nothing is converted: the unlisted word stays unknown.
  log.clear();
  EXPECT_FALSE(com->insertAt(walk("far", "ななひゃく"), com->size() + 1));
  EXPECT_FALSE(com->insertAt(walk("neg", "ななひゃく"), -1));
  EXPECT_EQ(0u, com->distance.count("ななひゃく"));
  EXPECT_TRUE(messages().empty());
  EXPECT_EQ(6, com->size());
}

TEST_F(ListTest, DeleteLast) {
  com->deleteLast();  // empty: nothing happens
  EXPECT_EQ(0, com->size());
  fill();
  com->deleteLast();
  EXPECT_EQ((Words{"a,walk,1,0,0", "b,walk,2,0,0"}), com->getAll());
}

TEST_F(ListTest, GetAllIsACopy) {
  fill();
  Words copy = com->getAll();
  com->add(walk("d", "よん"));
  com->deleteAt(0);
  EXPECT_EQ((Words{"a,walk,1,0,0", "b,walk,2,0,0", "c,walk,3,0,0"}), copy);
}

TEST_F(ListTest, FinalizeKeepsTheListAndInitEmptiesIt) {
  com->init();
  EXPECT_TRUE(com->comstatus);
  fill();
  com->finalize();
  EXPECT_FALSE(com->comstatus);
  EXPECT_EQ(3u, com->getAll().size());
  com->finalize();
  EXPECT_FALSE(com->comstatus);
  // The list operations themselves ignore the mode.
  EXPECT_TRUE(com->add(walk("d", "よん")));
  com->init();
  EXPECT_TRUE(com->comstatus);
  EXPECT_TRUE(com->getAll().empty());
}

TEST_F(ListTest, ConstructionNeedsItsServices) {
  for (const char* service : {"ALMemory", "ALAutonomousLife", "ALBasicAwareness"}) {
    kt::sim::Robot other;
    boost::shared_ptr<AL::ALBroker> b = other.broker();
    b->unregisterModule(service);
    EXPECT_THROW(KTCommand(b, executor.get()), AL::ALError) << service;
  }
}

}  // namespace
