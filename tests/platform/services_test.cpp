// The simulated services as modules reach them by name: the journal, fault
// injection, and the state that later module tests rely on.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <fstream>

#include <alcommon/alproxy.h>
#include <alproxies/almemoryproxy.h>

#include "ktest.h"

namespace {

using kt::sim::FaultFalse;
using kt::sim::FaultNone;
using kt::sim::FaultThrow;

typedef std::vector<std::string> Lines;

class ServicesTest : public kt::test::RobotTest {
protected:
  AL::ALProxy proxy(const std::string& service) { return AL::ALProxy(broker, service, 0, 0); }

  std::vector<float> position() {
    return proxy("ALMotion").call<std::vector<float> >("getRobotPosition", false);
  }

  // A topic file under the robot root; returns its path.
  std::string topicFile(const std::string& name, const std::string& content) {
    std::string robotPath = "/home/nao/ruko/dialog/topics/" + name;
    root.write(robotPath, content);
    return root.at(robotPath);
  }
};

// ---------------------------------------------------------------- journal

TEST_F(ServicesTest, JournalHasOneLinePerCallWithJsonArguments) {
  proxy("ALMotion").callVoid("moveTo", 0.5f, 0.0f, 0.2f);
  proxy("ALMotion").callVoid("wakeUp");
  proxy("ALTextToSpeech").callVoid("say", std::string("こんにちは \"ruko\"\n"));
  proxy("ALRobotPosture").call<bool>("goToPosture", "StandInit", 0.4);
  proxy("ALMotion").call<bool>("getExternalCollisionProtectionEnabled", "Move");
  EXPECT_THROW(proxy("ALDialog").call<std::string>("loadTopic", "/no/such.top"), AL::ALError);
  // A method name a caller made up stays one entry.
  EXPECT_THROW(proxy("ALMotion").callVoid("wake\nUp"), AL::ALError);

  EXPECT_EQ(Lines({"ALMotion.moveTo [0.5,0,0.2]", "ALMotion.wakeUp []",
                   "ALTextToSpeech.say [\"こんにちは \\\"ruko\\\"\\n\"]",
                   "ALRobotPosture.goToPosture [\"StandInit\",0.4]",
                   "ALMotion.getExternalCollisionProtectionEnabled [\"Move\"]",
                   "ALDialog.loadTopic [\"/no/such.top\"]", "ALMotion.wake\\nUp []"}),
            journal());
  EXPECT_EQ(Lines({"ALMotion.moveTo [0.5,0,0.2]"}), calls("ALMotion.moveTo"));

  robot.world().clearJournal();
  EXPECT_TRUE(journal().empty());
}

TEST_F(ServicesTest, MemoryCallsAreJournaledToo) {
  AL::ALMemoryProxy memory(broker);
  memory.insertData("k", 1);
  memory.raiseEvent("did_walk", AL::ALValue::array(1, "a"));
  EXPECT_EQ(Lines({"ALMemory.insertData [\"k\",1]", "ALMemory.raiseEvent [\"did_walk\",[1,\"a\"]]"}),
            journal());
}

// The journal keeps the newest calls within its bound and says how many
// older ones it dropped; taking it with clear forgets exactly what it gave.
TEST_F(ServicesTest, JournalKeepsTheNewestCallsWithinItsBound) {
  AL::ALProxy speech = proxy("ALTextToSpeech");
  std::string words(4000, 'w');
  size_t made = kt::sim::World::kJournalBytes / words.size() + 100;
  for (size_t i = 0; i < made; ++i) speech.callVoid("say", words + std::to_string(i));
  auto line = [&](size_t i) { return "ALTextToSpeech.say [\"" + words + std::to_string(i) + "\"]"; };
  Lines kept = journal();
  ASSERT_GT(kept.size(), 2u);
  size_t dropped = std::stoul(kept[0].substr(1));
  EXPECT_EQ("(" + std::to_string(dropped) + " older calls dropped)", kept[0]);
  EXPECT_EQ(made, dropped + kept.size() - 1);
  EXPECT_EQ(line(dropped), kept[1]);
  EXPECT_EQ(line(made - 1), kept.back());
  size_t bytes = 0;
  for (size_t i = 1; i < kept.size(); ++i) bytes += kept[i].size() + 1;
  EXPECT_LE(bytes, kt::sim::World::kJournalBytes);

  EXPECT_EQ(kept, robot.world().takeJournal(true));
  EXPECT_TRUE(journal().empty());
  speech.callVoid("say", std::string("after"));
  EXPECT_EQ(Lines{"ALTextToSpeech.say [\"after\"]"}, journal());
}

// ---------------------------------------------------------------- faults

TEST_F(ServicesTest, FaultThrowRaisesALErrorWithoutActing) {
  robot.world().setFault("ALMotion.moveTo", FaultThrow);
  EXPECT_THROW(proxy("ALMotion").callVoid("moveTo", 1.0f, 0.0f, 0.0f), AL::ALError);
  EXPECT_EQ(std::vector<float>({0, 0, 0}), position());
  // The attempt is still in the journal.
  EXPECT_EQ(1u, calls("ALMotion.moveTo").size());
  // Only that method of that service.
  EXPECT_NO_THROW(proxy("ALNavigation").call<bool>("navigateTo", 1.0f, 0.0f));
  EXPECT_NO_THROW(proxy("ALMotion").callVoid("wakeUp"));

  robot.world().setFault("ALMemory.raiseEvent", FaultThrow);
  EXPECT_THROW(AL::ALMemoryProxy(broker).raiseEvent("k", 1), AL::ALError);
  EXPECT_THROW(AL::ALMemoryProxy(broker).getData("k"), AL::ALError);
}

TEST_F(ServicesTest, FaultFalseAnswersFalseWithoutActing) {
  robot.world().setFault("ALRobotPosture.goToPosture", FaultFalse);
  robot.world().setFault("ALFaceDetection.learnFace", FaultFalse);
  robot.world().setFault("ALMotion.wakeUp", FaultFalse);

  EXPECT_FALSE(proxy("ALRobotPosture").call<bool>("goToPosture", "Stand", 0.8));
  EXPECT_EQ("Crouch", proxy("ALRobotPosture").call<std::string>("getPosture"));
  EXPECT_FALSE(proxy("ALFaceDetection").call<bool>("learnFace", "taro"));
  EXPECT_TRUE(robot.faceDetection().getLearnedFacesList().empty());
  proxy("ALMotion").callVoid("wakeUp");
  EXPECT_FALSE(robot.motion().isAwake());
}

TEST_F(ServicesTest, ClearingFaultsRestoresTheServices) {
  robot.world().setFault("ALRobotPosture.goToPosture", FaultFalse);
  robot.world().setFault("ALMotion.moveTo", FaultThrow);
  robot.world().setFault("ALRobotPosture.goToPosture", FaultNone);
  EXPECT_TRUE(proxy("ALRobotPosture").call<bool>("goToPosture", "Stand", 0.8));
  EXPECT_EQ("Stand", robot.posture().getPosture());
  EXPECT_THROW(proxy("ALMotion").callVoid("moveTo", 1.0f, 0.0f, 0.0f), AL::ALError);

  robot.world().clearFaults();
  EXPECT_NO_THROW(proxy("ALMotion").callVoid("moveTo", 1.0f, 0.0f, 0.0f));
  EXPECT_FLOAT_EQ(1.0f, position()[0]);
}

// ---------------------------------------------------------------- ALDialog

TEST_F(ServicesTest, DialogLoadTopicAnswersTheTopicName) {
  std::string greet = topicFile("greet.top",
                                "# 挨拶\r\n"
                                "topic: ~greet()\r\n"
                                "language: jpj\r\n"
                                "u:(こんにちは) こんにちは\r\n");
  std::string spaced = topicFile("spaced.top", "\n  topic:  ~walk_jp ()\nlanguage: jpj\n");
  AL::ALProxy dialog = proxy("ALDialog");
  EXPECT_EQ("greet", dialog.call<std::string>("loadTopic", greet));
  EXPECT_EQ("walk_jp", dialog.call<std::string>("loadTopic", spaced));
  EXPECT_EQ(Lines({"greet", "walk_jp"}), dialog.call<Lines>("getLoadedTopics"));
}

TEST_F(ServicesTest, DialogRefusesBadOrDuplicateTopics) {
  std::string good = topicFile("a.top", "topic: ~same()\nlanguage: jpj\n");
  std::string again = topicFile("b.top", "topic: ~same()\nlanguage: jpj\n");
  std::string noLine = topicFile("c.top", "language: jpj\nu:(はい) はい\n");
  std::string noTilde = topicFile("d.top", "topic: same()\n");
  AL::ALProxy dialog = proxy("ALDialog");

  EXPECT_EQ("same", dialog.call<std::string>("loadTopic", good));
  EXPECT_THROW(dialog.call<std::string>("loadTopic", good), AL::ALError);
  EXPECT_THROW(dialog.call<std::string>("loadTopic", again), AL::ALError);
  EXPECT_THROW(dialog.call<std::string>("loadTopic", noLine), AL::ALError);
  EXPECT_THROW(dialog.call<std::string>("loadTopic", noTilde), AL::ALError);
  EXPECT_THROW(dialog.call<std::string>("loadTopic", root.at("/home/nao/missing.top")),
               AL::ALError);
  EXPECT_EQ(Lines({"same"}), dialog.call<Lines>("getLoadedTopics"));
}

TEST_F(ServicesTest, DialogRefusesWhatIsNoTopicFileWithoutReadingItToTheEnd) {
  AL::ALProxy dialog = proxy("ALDialog");
  // Endless or blocking: a device, a pipe nobody writes to, a folder.
  std::string folder = topicFile("ok.top", "topic: ~ok()\n");
  folder.erase(folder.rfind('/'));
  std::string fifo = folder + "/topic.fifo";
  ASSERT_EQ(0, mkfifo(fifo.c_str(), 0644));
  for (const std::string& path : {std::string("/dev/zero"), fifo, folder})
    EXPECT_THROW(dialog.call<std::string>("loadTopic", path), AL::ALError) << path;
  // A huge file whose topic line comes only at its end.
  std::string huge = folder + "/huge.top";
  {
    std::ofstream out(huge.c_str());
    std::string filler(1 << 20, 'x');
    for (int i = 0; i < 17; ++i) out << filler;
    out << "\ntopic: ~huge()\n";
  }
  EXPECT_THROW(dialog.call<std::string>("loadTopic", huge), AL::ALError);
  EXPECT_TRUE(dialog.call<Lines>("getLoadedTopics").empty());
}

TEST_F(ServicesTest, DialogActivateFocusAndUnload) {
  AL::ALProxy dialog = proxy("ALDialog");
  std::string one = dialog.call<std::string>("loadTopic", topicFile("1.top", "topic: ~one()\n"));
  std::string two = dialog.call<std::string>("loadTopic", topicFile("2.top", "topic: ~two()\n"));

  EXPECT_THROW(dialog.callVoid("activateTopic", "three"), AL::ALError);
  EXPECT_THROW(dialog.callVoid("setFocus", one), AL::ALError);  // loaded, not active
  dialog.callVoid("activateTopic", one);
  dialog.callVoid("activateTopic", two);
  dialog.callVoid("setFocus", one);
  EXPECT_EQ("one", robot.dialog().focus());
  EXPECT_EQ(Lines({"one", "two"}), dialog.call<Lines>("getActivatedTopics"));

  dialog.callVoid("deactivateTopic", two);
  EXPECT_EQ(Lines({"one"}), dialog.call<Lines>("getActivatedTopics"));
  dialog.callVoid("unloadTopic", one);
  EXPECT_EQ("", robot.dialog().focus());
  EXPECT_TRUE(dialog.call<Lines>("getActivatedTopics").empty());
  EXPECT_EQ(Lines({"two"}), dialog.call<Lines>("getLoadedTopics"));
  EXPECT_THROW(dialog.callVoid("unloadTopic", one), AL::ALError);

  // Unloaded, the name can be loaded again.
  EXPECT_EQ("one", dialog.call<std::string>("loadTopic", root.at("/home/nao/ruko/dialog/topics/1.top")));
}

TEST_F(ServicesTest, DialogSubscribersInputsAndOutputs) {
  AL::ALProxy dialog = proxy("ALDialog");
  dialog.callVoid("setLanguage", "Japanese");
  EXPECT_EQ("Japanese", dialog.call<std::string>("getLanguage"));
  dialog.callVoid("subscribe", "KTRuko");
  EXPECT_EQ(std::set<std::string>({"KTRuko"}), robot.dialog().subscribers());
  dialog.callVoid("forceInput", "こんにちは");
  dialog.callVoid("forceOutput");
  EXPECT_EQ(Lines({"こんにちは"}), robot.dialog().inputs());
  EXPECT_EQ(1, robot.dialog().outputsForced());
  dialog.callVoid("unsubscribe", "KTRuko");
  EXPECT_TRUE(robot.dialog().subscribers().empty());
  EXPECT_THROW(dialog.callVoid("unsubscribe", "KTRuko"), AL::ALError);
}

// ---------------------------------------------------------------- ALMotion

TEST_F(ServicesTest, MoveToAndNavigateToMoveTheOdometry) {
  const float halfPi = static_cast<float>(M_PI / 2);
  AL::ALProxy motion = proxy("ALMotion");
  EXPECT_EQ(std::vector<float>({0, 0, 0}), position());

  motion.callVoid("moveTo", 1.0f, 0.0f, halfPi);
  std::vector<float> p = position();
  ASSERT_EQ(3u, p.size());
  EXPECT_NEAR(1.0f, p[0], 1e-5);
  EXPECT_NEAR(0.0f, p[1], 1e-5);
  EXPECT_NEAR(halfPi, p[2], 1e-5);

  // Moves are relative to the robot: now facing +y.
  motion.callVoid("moveTo", 0.5f, 0.0f, 0.0f);
  p = position();
  EXPECT_NEAR(1.0f, p[0], 1e-5);
  EXPECT_NEAR(0.5f, p[1], 1e-5);

  // y is to the robot's left: now towards -x.
  EXPECT_TRUE(proxy("ALNavigation").call<bool>("navigateTo", 0.0f, 0.25f));
  p = position();
  EXPECT_NEAR(0.75f, p[0], 1e-5);
  EXPECT_NEAR(0.5f, p[1], 1e-5);
  EXPECT_NEAR(halfPi, p[2], 1e-5);
  EXPECT_NO_THROW(motion.callVoid("waitUntilMoveIsFinished"));
}

TEST_F(ServicesTest, MoveFractionCutsEveryMoveShort) {
  robot.motion().setMoveFraction(0.5f);
  proxy("ALMotion").callVoid("moveTo", 1.0f, 0.0f, 1.0f);
  std::vector<float> p = position();
  EXPECT_NEAR(0.5f, p[0], 1e-5);
  EXPECT_NEAR(0.5f, p[2], 1e-5);

  robot.motion().setPosition(0, 0, 0);
  proxy("ALNavigation").call<bool>("navigateTo", 2.0f, 0.0f);
  EXPECT_NEAR(1.0f, position()[0], 1e-5);
}

TEST_F(ServicesTest, StiffnessAndCollisionProtection) {
  AL::ALProxy motion = proxy("ALMotion");
  EXPECT_FALSE(motion.call<bool>("robotIsWakeUp"));
  motion.callVoid("wakeUp");
  EXPECT_TRUE(motion.call<bool>("robotIsWakeUp"));
  motion.callVoid("rest");
  EXPECT_FALSE(motion.call<bool>("robotIsWakeUp"));

  // Protection starts on for every part.
  for (const char* part : {"Move", "Arms", "LArm", "RArm"})
    EXPECT_TRUE(motion.call<bool>("getExternalCollisionProtectionEnabled", part)) << part;
  motion.callVoid("setExternalCollisionProtectionEnabled", "Arms", false);
  EXPECT_FALSE(motion.call<bool>("getExternalCollisionProtectionEnabled", "LArm"));
  EXPECT_FALSE(motion.call<bool>("getExternalCollisionProtectionEnabled", "Arms"));
  EXPECT_TRUE(motion.call<bool>("getExternalCollisionProtectionEnabled", "Move"));
  motion.callVoid("setExternalCollisionProtectionEnabled", "Move", false);
  EXPECT_FALSE(motion.call<bool>("getExternalCollisionProtectionEnabled", "Move"));
  EXPECT_THROW(motion.call<bool>("getExternalCollisionProtectionEnabled", "Head"), AL::ALError);
}

// ---------------------------------------------------------------- the others

TEST_F(ServicesTest, PosturesKnownAndUnknown) {
  AL::ALProxy posture = proxy("ALRobotPosture");
  for (const char* name : {"Sit", "Stand", "Crouch", "LyingBack", "StandInit"}) {
    EXPECT_TRUE(posture.call<bool>("goToPosture", name, 0.8)) << name;
    EXPECT_EQ(name, posture.call<std::string>("getPosture"));
  }
  EXPECT_FALSE(posture.call<bool>("goToPosture", "Dance", 0.8));
  EXPECT_EQ("StandInit", posture.call<std::string>("getPosture"));
}

TEST_F(ServicesTest, AutonomousLifeRefusesAnUnknownState) {
  AL::ALProxy life = proxy("ALAutonomousLife");
  for (const char* state : {"interactive", "disabled", "safeguard", "solitary"}) {
    life.callVoid("setState", state);
    EXPECT_EQ(state, life.call<std::string>("getState"));
  }
  EXPECT_THROW(life.callVoid("setState", "dreaming"), AL::ALError);
  EXPECT_EQ("solitary", life.call<std::string>("getState"));
}

TEST_F(ServicesTest, AwarenessAndExpressiveListeningFlags) {
  AL::ALProxy awareness = proxy("ALBasicAwareness");
  awareness.callVoid("stopAwareness");
  EXPECT_FALSE(awareness.call<bool>("isAwarenessRunning"));
  awareness.callVoid("startAwareness");
  EXPECT_TRUE(awareness.call<bool>("isAwarenessRunning"));

  AL::ALProxy moves = proxy("ALAutonomousMoves");
  moves.callVoid("setExpressiveListeningEnabled", false);
  EXPECT_FALSE(moves.call<bool>("getExpressiveListeningEnabled"));
  moves.callVoid("setExpressiveListeningEnabled", true);
  EXPECT_TRUE(moves.call<bool>("getExpressiveListeningEnabled"));
}

TEST_F(ServicesTest, FaceDatabase) {
  AL::ALProxy faces = proxy("ALFaceDetection");
  EXPECT_TRUE(faces.call<bool>("learnFace", "taro"));
  EXPECT_TRUE(faces.call<bool>("learnFace", "hanako"));
  EXPECT_TRUE(faces.call<bool>("learnFace", "taro"));
  EXPECT_FALSE(faces.call<bool>("learnFace", ""));
  EXPECT_EQ(Lines({"taro", "hanako"}), faces.call<Lines>("getLearnedFacesList"));
  EXPECT_TRUE(faces.call<bool>("forgetPerson", "taro"));
  EXPECT_FALSE(faces.call<bool>("forgetPerson", "taro"));
  EXPECT_TRUE(faces.call<bool>("clearDatabase"));
  EXPECT_TRUE(faces.call<Lines>("getLearnedFacesList").empty());
}

TEST_F(ServicesTest, TextToSpeechKeepsATranscript) {
  Lines heard;
  robot.textToSpeech().setSayListener([&heard](const std::string& s) { heard.push_back(s); });
  AL::ALProxy tts = proxy("ALTextToSpeech");
  tts.callVoid("setLanguage", "Japanese");
  tts.callVoid("say", "はじめまして");
  tts.callVoid("say", "  1 歩進みます。");
  EXPECT_EQ(Lines({"はじめまして", "  1 歩進みます。"}), robot.textToSpeech().transcript());
  EXPECT_EQ(robot.textToSpeech().transcript(), heard);
  EXPECT_EQ("Japanese", tts.call<std::string>("getLanguage"));
}

TEST(RobotNameTest, SystemAnswersTheRobotsName) {
  kt::sim::Robot robot("vesper2");
  EXPECT_EQ("vesper2", AL::ALProxy(robot.broker(), "ALSystem", 0, 0).call<std::string>("robotName"));
}

}  // namespace
