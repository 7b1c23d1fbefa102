// ALMemory as modules see it: data store and synchronous event delivery.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

#include <alcommon/almodule.h>
#include <alcommon/alproxy.h>
#include <alproxies/almemoryproxy.h>

#include "ktest.h"

namespace {

struct Delivery {
  std::string module, key, value, subscriber;
  std::thread::id thread;
};

// Every listener writes into one shared record, so that order across
// modules can be checked.
struct Record {
  std::mutex mutex;
  std::vector<Delivery> deliveries;
  void add(const Delivery& d) {
    std::lock_guard<std::mutex> lock(mutex);
    deliveries.push_back(d);
  }
  std::vector<Delivery> all() {
    std::lock_guard<std::mutex> lock(mutex);
    return deliveries;
  }
};

class Listener : public AL::ALModule {
public:
  Listener(boost::shared_ptr<AL::ALBroker> broker, const std::string& name)
    : AL::ALModule(broker, name), record(0) {
    setModuleDescription("test listener");
    functionName("onEvent", getName(), "records the event", 0);
    BIND_METHOD(Listener::onEvent);
    functionName("onNumber", getName(), "an int argument, by value", 0);
    BIND_METHOD(Listener::onNumber);
  }

  void onEvent(const std::string& key, const AL::ALValue& value, const std::string& subscriber) {
    if (record) record->add(Delivery{getName(), key, value.toString(), subscriber,
                                     std::this_thread::get_id()});
    if (action) action(key, value);
  }
  void onNumber(std::string key, int value, std::string subscriber) {
    char text[32];
    snprintf(text, sizeof text, "%d", value);
    if (record) record->add(Delivery{getName(), key, text, subscriber, std::this_thread::get_id()});
  }

  Record* record;
  // Runs inside the callback, after the delivery is recorded.
  std::function<void(const std::string&, const AL::ALValue&)> action;
};

class MemoryTest : public kt::test::RobotTest {
protected:
  MemoryTest() : memory(broker) {}

  boost::shared_ptr<Listener> listener(const std::string& name) {
    boost::shared_ptr<Listener> l = AL::ALModule::createModule<Listener>(broker, name);
    l->record = &record;
    return l;
  }

  std::vector<std::string> modulesCalled(const std::string& key) {
    std::vector<std::string> out;
    for (const Delivery& d : record.all())
      if (d.key == key) out.push_back(d.module);
    return out;
  }

  // A deadlock would hang the whole run; report it and stop instead.
  void returns(const std::function<void()>& f) {
    std::packaged_task<void()> task(f);
    std::future<void> done = task.get_future();
    std::thread runner(std::move(task));
    if (done.wait_for(std::chrono::duration<double>(kt::test::patience())) !=
        std::future_status::ready) {
      fprintf(stderr, "event delivery did not return: deadlock\n");
      _exit(1);
    }
    runner.join();
    done.get();
  }

  Record record;
  AL::ALMemoryProxy memory;
};

TEST_F(MemoryTest, DeliversToEverySubscriberWithKeyValueAndName) {
  listener("First");
  listener("Second");
  listener("Bystander");
  memory.subscribeToEvent("ev", "First", "onEvent");
  memory.subscribeToEvent("ev", "Second", "onEvent");
  memory.subscribeToEvent("other", "Bystander", "onEvent");

  memory.raiseEvent("ev", AL::ALValue::array(1, "x"));

  std::vector<Delivery> got = record.all();
  ASSERT_EQ(2u, got.size());
  EXPECT_EQ("First", got[0].module);
  EXPECT_EQ("Second", got[1].module);
  for (const Delivery& d : got) {
    EXPECT_EQ("ev", d.key);
    EXPECT_EQ("[1, \"x\"]", d.value);
    EXPECT_EQ(d.module, d.subscriber);
    // Synchronous: on the raiser's thread, before raiseEvent returns.
    EXPECT_EQ(std::this_thread::get_id(), d.thread);
  }
}

TEST_F(MemoryTest, ValueConvertedToTheCallbacksDeclaredType) {
  listener("Numbers");
  memory.subscribeToEvent("UserSession/FocusedUser", "Numbers", "onNumber");
  memory.raiseEvent("UserSession/FocusedUser", 7);
  ASSERT_EQ(1u, record.all().size());
  EXPECT_EQ("7", record.all()[0].value);
  EXPECT_EQ("Numbers", record.all()[0].subscriber);
}

TEST_F(MemoryTest, CallbackUnsubscribingAnotherDuringDelivery) {
  boost::shared_ptr<Listener> first = listener("First");
  listener("Second");
  memory.subscribeToEvent("ev", "First", "onEvent");
  memory.subscribeToEvent("ev", "Second", "onEvent");
  first->action = [this](const std::string& key, const AL::ALValue&) {
    AL::ALMemoryProxy(broker).unsubscribeToEvent(key, "Second");
  };

  returns([this] { memory.raiseEvent("ev", 1); });
  EXPECT_EQ(std::vector<std::string>({"First"}), modulesCalled("ev"));

  first->action = nullptr;
  memory.raiseEvent("ev", 2);
  EXPECT_EQ(std::vector<std::string>({"First", "First"}), modulesCalled("ev"));
}

TEST_F(MemoryTest, UnboundCallbackIsSkippedAndLogged) {
  listener("Deaf");
  listener("Hearing");
  memory.subscribeToEvent("ev", "Deaf", "noSuchCallback");
  memory.subscribeToEvent("ev", "Hearing", "onEvent");

  memory.raiseEvent("ev", "hello");

  EXPECT_EQ(std::vector<std::string>({"Hearing"}), modulesCalled("ev"));
  bool logged = false;
  for (const kt::test::LogLine& l : log.lines())
    if (l.level == qi::LogLevel_Warning && l.message.find("Deaf") != std::string::npos &&
        l.message.find("noSuchCallback") != std::string::npos)
      logged = true;
  EXPECT_TRUE(logged);
}

TEST_F(MemoryTest, FailingOrVanishedSubscriberDoesNotStopDelivery) {
  boost::shared_ptr<Listener> failing = listener("Failing");
  listener("Gone");
  listener("Last");
  failing->action = [](const std::string&, const AL::ALValue&) {
    throw AL::ALError("Failing", "onEvent", "broken");
  };
  memory.subscribeToEvent("ev", "Failing", "onEvent");
  memory.subscribeToEvent("ev", "Gone", "onEvent");
  memory.subscribeToEvent("ev", "Last", "onEvent");
  broker->unregisterModule("Gone");

  EXPECT_NO_THROW(memory.raiseEvent("ev", 1));
  EXPECT_EQ(std::vector<std::string>({"Failing", "Last"}), modulesCalled("ev"));
}

TEST_F(MemoryTest, SecondSubscriptionKeepsOne) {
  listener("Twice");
  memory.subscribeToEvent("ev", "Twice", "onEvent");
  memory.subscribeToEvent("ev", "Twice", "onEvent");
  memory.raiseEvent("ev", 1);
  EXPECT_EQ(1u, modulesCalled("ev").size());

  // Another callback for the same key still makes one subscription.
  memory.subscribeToEvent("ev", "Twice", "onNumber");
  memory.raiseEvent("ev", 2);
  EXPECT_EQ(2u, modulesCalled("ev").size());

  // One unsubscription ends it.
  memory.unsubscribeToEvent("ev", "Twice");
  memory.raiseEvent("ev", 3);
  EXPECT_EQ(2u, modulesCalled("ev").size());
}

TEST_F(MemoryTest, UnsubscribingAnUnsubscribedKeyChangesNothing) {
  listener("Kept");
  memory.subscribeToEvent("ev", "Kept", "onEvent");

  EXPECT_NO_THROW(memory.unsubscribeToEvent("never", "Kept"));
  EXPECT_NO_THROW(memory.unsubscribeToEvent("ev", "NotAModule"));
  memory.unsubscribeToEvent("ev", "Kept");
  EXPECT_NO_THROW(memory.unsubscribeToEvent("ev", "Kept"));

  memory.subscribeToEvent("ev", "Kept", "onEvent");
  memory.raiseEvent("ev", 1);
  EXPECT_EQ(std::vector<std::string>({"Kept"}), modulesCalled("ev"));
}

TEST_F(MemoryTest, DataStore) {
  EXPECT_THROW(memory.getData("missing"), AL::ALError);

  memory.insertData("name", "ruko");
  EXPECT_EQ("ruko", static_cast<std::string>(memory.getData("name")));
  memory.insertData("name", 3);
  EXPECT_EQ(3, static_cast<int>(memory.getData("name")));

  // A raised event is stored, with or without subscribers.
  memory.raiseEvent("raised", AL::ALValue::array(0.5f, "a"));
  EXPECT_EQ(AL::ALValue::array(0.5f, "a"), memory.getData("raised"));

  // Every proxy sees the one store: it is the service's.
  EXPECT_EQ("[0.5, \"a\"]", broker->getSpecialisedProxy<AL::ALMemoryProxy>("ALMemory")
                                ->getData("raised")
                                .toString());
}

TEST_F(MemoryTest, CallbackRaisingAnotherEventIsDeliveredWithinIt) {
  boost::shared_ptr<Listener> outer = listener("Outer");
  listener("Inner");
  memory.subscribeToEvent("outer", "Outer", "onEvent");
  memory.subscribeToEvent("inner", "Inner", "onEvent");
  std::vector<std::string> seenInside;
  outer->action = [this, &seenInside](const std::string& key, const AL::ALValue& value) {
    if (key != "outer") return;
    AL::ALMemoryProxy m(broker);
    // The store and the subscriptions are free while a callback runs.
    seenInside.push_back(m.getData("outer").toString());
    m.subscribeToEvent("inner", "Outer", "onEvent");
    m.raiseEvent("inner", static_cast<int>(value) + 1);
    seenInside.push_back(m.getData("inner").toString());
  };

  returns([this] { memory.raiseEvent("outer", 1); });

  std::vector<Delivery> got = record.all();
  ASSERT_EQ(3u, got.size());
  EXPECT_EQ("Outer", got[0].module);
  EXPECT_EQ("outer", got[0].key);
  EXPECT_EQ("Inner", got[1].module);
  EXPECT_EQ("inner", got[1].key);
  EXPECT_EQ("2", got[1].value);
  // Subscribed during the outer delivery, so called by the nested one.
  EXPECT_EQ("Outer", got[2].module);
  EXPECT_EQ("inner", got[2].key);
  EXPECT_EQ(std::vector<std::string>({"1", "2"}), seenInside);
}

// While an observer is busy with one raise, another thread's raise returns
// at once (its subscribers need not wait), and is observed after the first.
TEST_F(MemoryTest, ARaiseWhileAnObserverIsBusyIsObservedAfterIt) {
  std::promise<void> held, release;
  std::future<void> isHeld = held.get_future(), released = release.get_future();
  std::vector<std::string> seen;
  int id = robot.memory().addObserver([&](const std::string& key, const AL::ALValue&) {
    if (key == "first") {
      held.set_value();
      released.wait_for(std::chrono::duration<double>(kt::test::patience()));
    }
    seen.push_back(key);
  });
  std::thread first([this] { robot.memory().raiseEvent("first", 1); });
  const std::chrono::duration<double> patience(kt::test::patience());
  EXPECT_EQ(std::future_status::ready, isHeld.wait_for(patience));
  std::future<void> second =
      std::async(std::launch::async, [this] { robot.memory().raiseEvent("second", 2); });
  EXPECT_EQ(std::future_status::ready, second.wait_for(patience));
  release.set_value();
  first.join();
  robot.memory().removeObserver(id);
  EXPECT_EQ(std::vector<std::string>({"first", "second"}), seen);
}

TEST_F(MemoryTest, ConcurrentRaisersAndSubscribersLoseNoDelivery) {
  listener("Counted");
  listener("Churn");
  memory.subscribeToEvent("ev", "Counted", "onEvent");
  const int threads = 4, perThread = 200;
  std::atomic<bool> stop(false);
  std::thread churn([this, &stop] {
    AL::ALMemoryProxy m(broker);
    while (!stop) {
      m.subscribeToEvent("ev", "Churn", "onEvent");
      m.unsubscribeToEvent("ev", "Churn");
    }
  });
  std::vector<std::thread> raisers;
  for (int t = 0; t < threads; ++t)
    raisers.emplace_back([this, t] {
      AL::ALMemoryProxy m(broker);
      for (int i = 0; i < perThread; ++i) m.raiseEvent("ev", t * perThread + i);
    });
  for (std::thread& t : raisers) t.join();
  stop = true;
  churn.join();

  std::vector<bool> seen(threads * perThread, false);
  int counted = 0;
  for (const Delivery& d : record.all()) {
    if (d.module != "Counted") continue;
    ++counted;
    int v = std::stoi(d.value);
    ASSERT_TRUE(v >= 0 && v < threads * perThread);
    EXPECT_FALSE(seen[v]) << "delivered twice: " << v;
    seen[v] = true;
  }
  EXPECT_EQ(threads * perThread, counted);
}

}  // namespace
