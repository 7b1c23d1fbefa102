// Dialog topics: starting and stopping the dialog, and the methods that let a
// client read the topic folder and the configuration file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "ktruko_fixture.h"
#include "unreadable.h"

namespace {

class KTRukoTopicsTest : public kt::test::KTRukoTest {
protected:
  // Starts with standard output captured, released even when the start throws.
  std::string startCapturing(std::string& out) {
    testing::internal::CaptureStdout();
    std::string result;
    try {
      result = start();
    } catch (...) {
      out = testing::internal::GetCapturedStdout();
      throw;
    }
    out = testing::internal::GetCapturedStdout();
    return result;
  }
};

using kt::test::Words;
using kt::test::faceVar;
using kt::test::kConf;
using kt::test::kTopics;
using kt::test::plainVar;
using kt::test::walkVar;

Words sorted(Words w) {
  std::sort(w.begin(), w.end());
  return w;
}

TEST_F(KTRukoTopicsTest, StartLoadsTheTopicFilesInItsOrderOfStepsAndFocusesTheFirst) {
  // Topic files are names ending in ".top".
  writeTopic("a.top", "alpha");
  writeTopic("b.top", "beta");
  writeTopic(".top", "hidden");
  writeTopic("c.TOP", "upper");
  writeTopic("d.top~", "backup");
  root.write(std::string(kTopics) + "notes.txt", "x");
  writeConf(walkVar("ruko_walk", "0.5", "0", "0.2"));
  create();
  std::string list = proxy->call<std::string>("getTopicList");
  EXPECT_TRUE(list == "a.top,b.top," || list == "b.top,a.top,") << list;

  robot.world().clearJournal();
  EXPECT_EQ("", start());
  Words steps;
  for (const std::string& line : journal()) {
    std::string call = line.substr(0, line.find(' '));
    if (call.compare(0, 9, "ALDialog.") == 0 || call == "ALMotion.wakeUp" ||
        call == "ALRobotPosture.goToPosture" || call == "ALMemory.subscribeToEvent")
      steps.push_back(call);
  }
  EXPECT_EQ((Words{"ALDialog.setLanguage", "ALDialog.subscribe", "ALMotion.wakeUp",
                   "ALRobotPosture.goToPosture", "ALDialog.loadTopic", "ALDialog.loadTopic",
                   "ALDialog.activateTopic", "ALDialog.activateTopic", "ALDialog.setFocus",
                   "ALMemory.subscribeToEvent", "ALMemory.subscribeToEvent"}),
            steps);
  EXPECT_EQ(Words{"ALDialog.setLanguage [\"Japanese\"]"}, calls("ALDialog.setLanguage"));
  EXPECT_EQ(Words{"ALDialog.subscribe [\"KTRuko\"]"}, calls("ALDialog.subscribe"));
  EXPECT_EQ(std::vector<unsigned int>{1}, sleeps.calls());
  const std::string folder = root.at(kTopics);
  EXPECT_EQ((Words{"ALDialog.loadTopic [\"" + folder + "a.top\"]",
                   "ALDialog.loadTopic [\"" + folder + "b.top\"]"}),
            sorted(calls("ALDialog.loadTopic")));
  EXPECT_EQ((Words{"alpha", "beta"}), sorted(robot.dialog().getActivatedTopics()));
  // The first topic loaded is the first of the topic list.
  std::string first = robot.dialog().getLoadedTopics().at(0);
  EXPECT_EQ(Words{"ALDialog.setFocus [\"" + first + "\"]"}, calls("ALDialog.setFocus"));

  for (const char* topic : {"alpha", "beta"}) {
    EXPECT_TRUE(informed(std::string("ロードされたトピック = ") + topic));
    EXPECT_TRUE(informed(std::string("有効化されたトピック = ") + topic));
  }
  EXPECT_TRUE(informed("******* トピックを有効化します ****** トピック数 = 2"));
  EXPECT_TRUE(informed("****** robotの体勢を初期化する ******"));
  EXPECT_TRUE(informed("******* 終了しました ******"));

  // A second start without a stop records every base name, which the dialog
  // does not know, and returns the last failure.
  Words order = robot.dialog().getLoadedTopics();
  log.clear();
  robot.world().clearJournal();
  std::string out;
  std::string result = startCapturing(out);
  EXPECT_EQ("ALDialog.loadTopic: topic " + order.at(1) + " is already loaded", result);
  for (const char* base : {"a", "b"}) {
    EXPECT_TRUE(informed(std::string("再ロードされたトピック = ") + base));
    EXPECT_TRUE(warned(std::string("トピックファイルの有効化に失敗しました。 topic file = ") + base));
  }
  EXPECT_TRUE(calls("ALDialog.setFocus").empty());
}

TEST_F(KTRukoTopicsTest, CategoryChoosesOnlyTheFirstLogLine) {
  emptyTopicFolder();
  create();
  const std::pair<const char*, const char*> cases[] = {
      {"Dialog", "******* 対話トピックで対話をスタートします ******"},
      {"System", "******* システム・コマンドトピックで対話をスタートします ******"},
      {"dialog", "******* すべてのトピックで対話をスタートします ******"}};
  for (const auto& c : cases) {
    log.clear();
    start(c.first);
    EXPECT_EQ(c.second, messages().at(0));
  }
}

TEST_F(KTRukoTopicsTest, EmptyOrMissingFoldersLoadAndSubscribeNothing) {
  emptyTopicFolder();
  create();
  EXPECT_EQ("", proxy->call<std::string>("getTopicList"));
  robot.world().clearJournal();
  EXPECT_EQ("", start());
  EXPECT_TRUE(calls("ALDialog.loadTopic").empty());
  EXPECT_TRUE(calls("ALDialog.activateTopic").empty());
  EXPECT_TRUE(calls("ALDialog.setFocus").empty());
  EXPECT_TRUE(informed("******* トピックを有効化します ****** トピック数 = 0"));
  // The dialog still runs in Japanese; no configuration, no variable.
  EXPECT_EQ(1u, robot.dialog().subscribers().count("KTRuko"));
  EXPECT_TRUE(informed("設定ファイル中の変数の数 = 0"));
  EXPECT_TRUE(calls("ALMemory.subscribeToEvent").empty());

  kt::test::removeTree(root.at(kTopics));
  EXPECT_EQ("", proxy->call<std::string>("getTopicList"));
  robot.world().clearJournal();
  EXPECT_EQ("", start());
  EXPECT_TRUE(calls("ALDialog.loadTopic").empty());
}

// A topic folder that cannot be read is warned about, with the system's
// reason on standard error, never taken for one without topics.
TEST_F(KTRukoTopicsTest, UnreadableFolderIsWarnedAboutNotTakenAsEmpty) {
  writeTopic("a.top", "alpha");
  create();
  const std::string folder = root.at(kTopics);
  const std::string warning = "フォルダ[ " + folder + " ]の読み込みに失敗しました： 中止";
  testing::internal::CaptureStderr();
  {
    kt::test::UnreadableFolder fault(folder, EIO);
    EXPECT_EQ("", proxy->call<std::string>("getTopicList"));
    EXPECT_TRUE(warned(warning));
    log.clear();
    start();
    EXPECT_TRUE(warned(warning));
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(std::string::npos, err.find(folder + ": " + std::strerror(EIO) + "\n")) << err;
  EXPECT_TRUE(calls("ALDialog.loadTopic").empty());
  log.clear();
  EXPECT_EQ("a.top,", proxy->call<std::string>("getTopicList"));
  EXPECT_FALSE(warned(warning));
}

TEST_F(KTRukoTopicsTest, FailedLoadIsRecordedUnderItsBaseNameAndTheStartGoesOn) {
  writeTopic("good.top", "good");
  root.write(std::string(kTopics) + "broken.top", "u:(こんにちは) はい\n");
  root.write(std::string(kTopics) + "empty.top", "");
  writeConf(walkVar("ruko_walk", "0.5", "0", "0.2"));
  create();

  std::string out;
  std::string result = startCapturing(out);

  // One line per failure on standard output; the result is the last one's text.
  Words failures;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line))
    if (line.compare(0, std::string("ロード失敗：").size(), "ロード失敗：") == 0)
      failures.push_back(line.substr(std::string("ロード失敗：").size()));
  ASSERT_EQ(2u, failures.size());
  EXPECT_EQ(failures.back(), result);
  EXPECT_NE(std::string::npos, result.find("no topic line"));

  EXPECT_TRUE(informed("再ロードされたトピック = broken"));
  EXPECT_TRUE(informed("再ロードされたトピック = empty"));
  EXPECT_TRUE(informed("******* トピックを有効化します ****** トピック数 = 3"));
  // The dialog does not know the base names: activation fails, is logged, and
  // each name still gets its line.
  EXPECT_TRUE(warned("トピックファイルの有効化に失敗しました。 topic file = broken"));
  EXPECT_TRUE(informed("有効化されたトピック = broken"));
  EXPECT_TRUE(warned("トピックファイルの有効化に失敗しました。 topic file = empty"));
  EXPECT_EQ(3u, calls("ALDialog.activateTopic").size());
  // The focus goes to the one topic the dialog took, and the start goes on.
  EXPECT_EQ("good", robot.dialog().focus());
  EXPECT_EQ(Words{"onVariablesChange"}, callbacksOf("ruko_walk"));
}

TEST_F(KTRukoTopicsTest, FailingFocusLeavesTopicsActiveAndVariablesUnsubscribed) {
  writeTopic("walk.top", "walk");
  writeConf(walkVar("ruko_walk", "0.5", "0", "0.2"));
  create();
  robot.world().setFault("ALDialog.setFocus", kt::sim::FaultThrow);
  EXPECT_THROW(start(), AL::ALError);
  EXPECT_EQ(Words{"walk"}, robot.dialog().getActivatedTopics());
  EXPECT_TRUE(callbacksOf("ruko_walk").empty());
}

TEST_F(KTRukoTopicsTest, StopUndoesTopicsDialogAndSubscriptionsWithoutMoving) {
  writeTopic("walk.top", "walk");
  writeConf(walkVar("ruko_walk", "0.5", "0", "0.2") + plainVar("ruko_name", "name") +
            faceVar("ruko_learn", "facelearn", "ruko_person"));
  create();
  start();
  Words topics = robot.dialog().getLoadedTopics();
  log.clear();
  robot.world().clearJournal();

  stop();
  EXPECT_EQ((Words{"ALDialog.deactivateTopic [\"walk\"]", "ALDialog.unloadTopic [\"walk\"]",
                   "ALDialog.unsubscribe [\"KTRuko\"]",
                   "ALMemory.unsubscribeToEvent [\"ruko_walk\",\"KTRuko\"]",
                   "ALMemory.unsubscribeToEvent [\"ruko_learn\",\"KTRuko\"]",
                   "ALMemory.unsubscribeToEvent [\"ruko_person\",\"KTRuko\"]",
                   "ALMemory.unsubscribeToEvent [\"SystemTopicOffEvent\",\"KTRuko\"]"}),
            journal());
  EXPECT_TRUE(robot.dialog().getLoadedTopics().empty());
  EXPECT_TRUE(robot.dialog().subscribers().empty());
  EXPECT_TRUE(callbacksOf("ruko_walk").empty());
  EXPECT_TRUE(callbacksOf("ruko_person").empty());
  EXPECT_TRUE(callbacksOf("SystemTopicOffEvent").empty());

  // Two lines for the facelearn variable: its name key first.
  int nameKey = indexOf("顔学習・忘却の名前[ruko_person] の保存イベントを削除しました。");
  int variable = indexOf("変数 [ ruko_learn ] のイベントを削除しました。");
  ASSERT_GE(nameKey, 0);
  EXPECT_EQ(nameKey + 1, variable);
  EXPECT_TRUE(informed("トピック [ walk ] 無効化し削除しました。"));
  EXPECT_TRUE(informed("変数 [ ruko_walk ] のイベントを削除しました。"));
  EXPECT_EQ(-1, indexOf("変数 [ ruko_name ] のイベントを削除しました。"));

  // A new start after a stop loads everything again.
  log.clear();
  EXPECT_EQ("", start());
  EXPECT_EQ(topics, robot.dialog().getActivatedTopics());
  EXPECT_EQ(Words{"onVariablesChange"}, callbacksOf("ruko_walk"));
}

TEST_F(KTRukoTopicsTest, NameLinesSubscribeNothingYetStopUnsubscribesTheSystemTopicEvent) {
  emptyTopicFolder();
  writeConf(plainVar("ruko_name", "name") + plainVar("ruko_nick", "name"));
  create();
  robot.world().clearJournal();
  start();
  EXPECT_TRUE(calls("ALMemory.subscribeToEvent").empty());
  robot.world().clearJournal();
  stop();
  EXPECT_EQ((Words{
                "ALDialog.unsubscribe [\"KTRuko\"]",
                "ALMemory.unsubscribeToEvent [\"SystemTopicOffEvent\",\"KTRuko\"]"}),
            journal());
}

TEST_F(KTRukoTopicsTest, GetTopicAndGetConfReturnWholeFilesOrWarn) {
  create();
  EXPECT_EQ("", proxy->call<std::string>("getConf"));
  EXPECT_TRUE(warned("ruko.confのオープンに失敗しました。 "));
  std::string conf = kt::test::confOf(walkVar("a_b", "0.5", "0", "0.2"));
  root.write(kConf, conf);
  std::string content("topic: ~a()\r\nu:(x) y\n\0binary\xff", 30);
  root.write(std::string(kTopics) + "a.top", content);
  log.clear();
  EXPECT_EQ(conf, proxy->call<std::string>("getConf"));
  EXPECT_EQ(content, proxy->call<std::string>("getTopic", std::string("a.top")));
  EXPECT_TRUE(messages().empty());

  // Only plain names of the folder that fit the path are read.
  const Words refused = {
      "missing.top", "../../conf/ruko.conf", "/etc/passwd", "sub/a.top", "", ".", "..",
      std::string(483, 'a'), std::string(5000, 'b') + ".top"};
  for (const std::string& name : refused) {
    SCOPED_TRACE(name.substr(0, 40));
    log.clear();
    EXPECT_EQ("", proxy->call<std::string>("getTopic", name));
    EXPECT_TRUE(warned("トピックファイルのオープンに失敗しました。 "));
  }
}

TEST_F(KTRukoTopicsTest, ForceInputAndOutputReachTheDialogUnchanged) {
  emptyTopicFolder();
  create();
  start();
  log.clear();
  std::string text = "  まえに　すすんで ";
  proxy->callVoid("forceInput", text);
  proxy->callVoid("forceOutput");
  EXPECT_EQ(Words{text}, robot.dialog().inputs());
  EXPECT_EQ(1, robot.dialog().outputsForced());
  EXPECT_TRUE(messages().empty());
}

}  // namespace
