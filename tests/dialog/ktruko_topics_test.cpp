// Dialog topics: starting and stopping the dialog, and the methods that let a
// client read the topic folder and the configuration file.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "ktruko_fixture.h"

namespace {

using kt::test::KTRukoTest;
using kt::test::faceVar;
using kt::test::kConf;
using kt::test::kTopics;
using kt::test::plainVar;
using kt::test::walkVar;

std::vector<std::string> splitComma(const std::string& text) {
  std::vector<std::string> out;
  std::string field;
  std::istringstream in(text);
  while (std::getline(in, field, ',')) out.push_back(field);
  return out;
}

// The argument of a journal line with one text argument.
std::string argOf(const std::string& line) {
  std::string::size_type open = line.find("[\"");
  std::string::size_type close = line.rfind("\"]");
  if (open == std::string::npos || close == std::string::npos) return line;
  return line.substr(open + 2, close - open - 2);
}

TEST_F(KTRukoTest, TopicFilesAreNamesEndingInDotTop) {
  writeTopic("a.top", "alpha");
  writeTopic("b.top", "beta");
  writeTopic(".top", "hidden");
  writeTopic("c.TOP", "upper");
  writeTopic("d.top~", "backup");
  root.write(std::string(kTopics) + "notes.txt", "x");
  create();

  std::string list = proxy->call<std::string>("getTopicList");
  ASSERT_FALSE(list.empty());
  EXPECT_EQ(',', list[list.size() - 1]);
  std::vector<std::string> names = splitComma(list);
  EXPECT_EQ(2, std::count(list.begin(), list.end(), ','));
  EXPECT_EQ((std::set<std::string>{"a.top", "b.top"}),
            std::set<std::string>(names.begin(), names.end()));

  robot.world().clearJournal();
  EXPECT_EQ("", start());
  std::vector<std::string> loads = calls("ALDialog.loadTopic");
  ASSERT_EQ(2u, loads.size());
  std::set<std::string> paths;
  for (const std::string& l : loads) paths.insert(argOf(l));
  EXPECT_EQ((std::set<std::string>{root.at(kTopics) + "a.top", root.at(kTopics) + "b.top"}),
            paths);
  std::vector<std::string> active = robot.dialog().getActivatedTopics();
  EXPECT_EQ((std::set<std::string>{"alpha", "beta"}),
            std::set<std::string>(active.begin(), active.end()));
  EXPECT_TRUE(informed("ロードされたトピック = alpha"));
  EXPECT_TRUE(informed("ロードされたトピック = beta"));
  EXPECT_TRUE(informed("******* トピックを有効化します ****** トピック数 = 2"));
  EXPECT_TRUE(informed("有効化されたトピック = alpha"));
  EXPECT_TRUE(informed("有効化されたトピック = beta"));
}

TEST_F(KTRukoTest, StartRunsItsStepsInOrderAndFocusesTheFirstTopic) {
  writeTopic("walk.top", "walk");
  writeTopic("face.top", "face");
  writeConf(walkVar("ruko_walk", "0.5", "0", "0.2"));
  create();
  robot.world().clearJournal();
  EXPECT_EQ("", start());

  std::vector<std::string> steps;
  for (const std::string& line : journal()) {
    std::string call = line.substr(0, line.find(' '));
    if (call.compare(0, 9, "ALDialog.") == 0 || call == "ALMotion.wakeUp" ||
        call == "ALRobotPosture.goToPosture" || call == "ALMemory.subscribeToEvent")
      steps.push_back(call);
  }
  std::vector<std::string> expected = {
      "ALDialog.setLanguage", "ALDialog.subscribe",     "ALMotion.wakeUp",
      "ALRobotPosture.goToPosture", "ALDialog.loadTopic", "ALDialog.loadTopic",
      "ALDialog.activateTopic", "ALDialog.activateTopic", "ALDialog.setFocus",
      "ALMemory.subscribeToEvent", "ALMemory.subscribeToEvent"};
  EXPECT_EQ(expected, steps);
  EXPECT_EQ(std::vector<std::string>{"ALDialog.setLanguage [\"Japanese\"]"},
            calls("ALDialog.setLanguage"));
  EXPECT_EQ(std::vector<std::string>{"ALDialog.subscribe [\"KTRuko\"]"},
            calls("ALDialog.subscribe"));
  EXPECT_EQ("Japanese", robot.dialog().getLanguage());

  // The first topic loaded is the first of the topic list.
  std::string first = robot.dialog().getLoadedTopics().at(0);
  EXPECT_EQ(std::vector<std::string>{"ALDialog.setFocus [\"" + first + "\"]"},
            calls("ALDialog.setFocus"));
  EXPECT_EQ(first, robot.dialog().focus());
  EXPECT_EQ(std::vector<unsigned int>{1}, sleeps.calls());
  EXPECT_TRUE(informed("****** robotの体勢を初期化する ******"));
  EXPECT_TRUE(informed("******* 終了しました ******"));
}

TEST_F(KTRukoTest, CategoryChoosesOnlyTheFirstLogLine) {
  emptyTopicFolder();
  create();
  log.clear();
  start("Dialog");
  EXPECT_EQ("******* 対話トピックで対話をスタートします ******", messages().at(0));
  log.clear();
  start("System");
  EXPECT_EQ("******* システム・コマンドトピックで対話をスタートします ******", messages().at(0));
  log.clear();
  start("dialog");
  EXPECT_EQ("******* すべてのトピックで対話をスタートします ******", messages().at(0));
}

TEST_F(KTRukoTest, EmptyTopicFolderLoadsNothingAndSetsNoFocus) {
  emptyTopicFolder();
  create();
  EXPECT_EQ("", proxy->call<std::string>("getTopicList"));
  robot.world().clearJournal();
  EXPECT_EQ("", start());
  EXPECT_TRUE(calls("ALDialog.loadTopic").empty());
  EXPECT_TRUE(calls("ALDialog.activateTopic").empty());
  EXPECT_TRUE(calls("ALDialog.setFocus").empty());
  EXPECT_TRUE(informed("******* トピックを有効化します ****** トピック数 = 0"));
  // The dialog still runs in Japanese.
  EXPECT_EQ(1u, robot.dialog().subscribers().count("KTRuko"));
}

TEST_F(KTRukoTest, MissingTopicFolderListsNothing) {
  create();
  EXPECT_EQ("", proxy->call<std::string>("getTopicList"));
  EXPECT_EQ("", start());
  EXPECT_TRUE(calls("ALDialog.loadTopic").empty());
}

TEST_F(KTRukoTest, FailedLoadIsRecordedUnderItsBaseNameAndTheStartGoesOn) {
  writeTopic("good.top", "good");
  root.write(std::string(kTopics) + "broken.top", "u:(こんにちは) はい\n");
  root.write(std::string(kTopics) + "empty.top", "");
  writeConf(walkVar("ruko_walk", "0.5", "0", "0.2"));
  create();

  testing::internal::CaptureStdout();
  std::string result = start();
  std::string out = testing::internal::GetCapturedStdout();

  // One line per failure on standard output; the result is the last one's text.
  std::vector<std::string> failures;
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
  EXPECT_EQ(std::vector<std::string>{"onVariablesChange"}, callbacksOf("ruko_walk"));
}

TEST_F(KTRukoTest, SecondStartWithoutStopRecordsEveryBaseNameAndReturnsTheLastFailure) {
  writeTopic("walk.top", "walk");
  writeTopic("face.top", "face");
  create();
  EXPECT_EQ("", start());
  std::vector<std::string> order = robot.dialog().getLoadedTopics();
  ASSERT_EQ(2u, order.size());
  log.clear();
  robot.world().clearJournal();

  testing::internal::CaptureStdout();
  std::string result = start();
  testing::internal::GetCapturedStdout();
  EXPECT_EQ("ALDialog.loadTopic: topic " + order[1] + " is already loaded", result);
  EXPECT_TRUE(informed("再ロードされたトピック = walk"));
  EXPECT_TRUE(informed("再ロードされたトピック = face"));
  EXPECT_EQ(2u, calls("ALDialog.activateTopic").size());
  EXPECT_FALSE(warned("トピックファイルの有効化に失敗しました。 topic file = walk"));
  EXPECT_EQ(std::vector<std::string>{"ALDialog.setFocus [\"" + order[0] + "\"]"},
            calls("ALDialog.setFocus"));
}

TEST_F(KTRukoTest, ActivationFailureIsLoggedAndTheStartGoesOn) {
  writeTopic("walk.top", "walk");
  create();
  robot.world().setFault("ALDialog.activateTopic", kt::sim::FaultThrow);
  EXPECT_EQ("", start());
  EXPECT_TRUE(warned("トピックファイルの有効化に失敗しました。 topic file = walk"));
  EXPECT_TRUE(informed("有効化されたトピック = walk"));
  EXPECT_TRUE(calls("ALDialog.setFocus").empty());
}

TEST_F(KTRukoTest, FailingFocusLeavesTopicsActiveAndVariablesUnsubscribed) {
  writeTopic("walk.top", "walk");
  writeConf(walkVar("ruko_walk", "0.5", "0", "0.2"));
  create();
  robot.world().setFault("ALDialog.setFocus", kt::sim::FaultThrow);
  EXPECT_THROW(start(), AL::ALError);
  EXPECT_EQ(std::vector<std::string>{"walk"}, robot.dialog().getActivatedTopics());
  EXPECT_TRUE(callbacksOf("ruko_walk").empty());
}

TEST_F(KTRukoTest, StopUndoesTopicsDialogAndSubscriptionsWithoutMoving) {
  writeTopic("walk.top", "walk");
  writeConf(walkVar("ruko_walk", "0.5", "0", "0.2") + plainVar("ruko_name", "name") +
            faceVar("ruko_learn", "facelearn", "ruko_person"));
  create();
  start();
  std::vector<std::string> topics = robot.dialog().getLoadedTopics();
  log.clear();
  robot.world().clearJournal();

  stop();
  std::vector<std::string> expected = {
      "ALDialog.deactivateTopic [\"walk\"]",
      "ALDialog.unloadTopic [\"walk\"]",
      "ALDialog.unsubscribe [\"KTRuko\"]",
      "ALMemory.unsubscribeToEvent [\"ruko_walk\",\"KTRuko\"]",
      "ALMemory.unsubscribeToEvent [\"ruko_learn\",\"KTRuko\"]",
      "ALMemory.unsubscribeToEvent [\"ruko_person\",\"KTRuko\"]",
      "ALMemory.unsubscribeToEvent [\"SystemTopicOffEvent\",\"KTRuko\"]"};
  EXPECT_EQ(expected, journal());
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
  EXPECT_EQ(std::vector<std::string>{"onVariablesChange"}, callbacksOf("ruko_walk"));
}

TEST_F(KTRukoTest, StopWithOnlyNameLinesStillUnsubscribesTheSystemTopicEventOnce) {
  emptyTopicFolder();
  writeConf(plainVar("ruko_name", "name") + plainVar("ruko_nick", "name"));
  create();
  start();
  robot.world().clearJournal();
  stop();
  EXPECT_EQ((std::vector<std::string>{
                "ALDialog.unsubscribe [\"KTRuko\"]",
                "ALMemory.unsubscribeToEvent [\"SystemTopicOffEvent\",\"KTRuko\"]"}),
            journal());
}

TEST_F(KTRukoTest, GetTopicReturnsTheWholeFileOrNothing) {
  std::string content("topic: ~a()\r\nu:(x) y\n\0binary\xff", 30);
  root.write(std::string(kTopics) + "a.top", content);
  root.write(kConf, "<config/>");
  create();
  EXPECT_EQ(content, proxy->call<std::string>("getTopic", std::string("a.top")));
  EXPECT_FALSE(warned("トピックファイルのオープンに失敗しました。 "));

  EXPECT_EQ("", proxy->call<std::string>("getTopic", std::string("missing.top")));
  EXPECT_TRUE(warned("トピックファイルのオープンに失敗しました。 "));
}

TEST_F(KTRukoTest, GetTopicReadsOnlyPlainNamesThatFitThePath) {
  root.write(kConf, "<config>secret</config>");
  root.write(std::string(kTopics) + "a.top", "topic: ~a()\n");
  create();
  const std::vector<std::string> refused = {
      "../../conf/ruko.conf", "/etc/passwd", "sub/a.top", "", ".", "..",
      std::string(483, 'a'), std::string(5000, 'b') + ".top"};
  for (const std::string& name : refused) {
    SCOPED_TRACE(name.substr(0, 40));
    log.clear();
    EXPECT_EQ("", proxy->call<std::string>("getTopic", name));
    EXPECT_TRUE(warned("トピックファイルのオープンに失敗しました。 "));
  }
}

TEST_F(KTRukoTest, GetConfReturnsTheFileOrWarns) {
  create();
  EXPECT_EQ("", proxy->call<std::string>("getConf"));
  EXPECT_TRUE(warned("ruko.confのオープンに失敗しました。 "));
  std::string conf = kt::test::confOf(walkVar("a_b", "0.5", "0", "0.2"));
  root.write(kConf, conf);
  log.clear();
  EXPECT_EQ(conf, proxy->call<std::string>("getConf"));
  EXPECT_TRUE(messages().empty());
}

TEST_F(KTRukoTest, ForceInputAndOutputReachTheDialogUnchanged) {
  emptyTopicFolder();
  create();
  start();
  log.clear();
  std::string text = "  まえに　すすんで ";
  proxy->callVoid("forceInput", text);
  proxy->callVoid("forceOutput");
  EXPECT_EQ(std::vector<std::string>{text}, robot.dialog().inputs());
  EXPECT_EQ(1, robot.dialog().outputsForced());
  EXPECT_TRUE(messages().empty());
}

}  // namespace
