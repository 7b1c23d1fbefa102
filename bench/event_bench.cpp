// In-process event delivery: ALMemoryProxy::raiseEvent until each
// subscriber's bound method is entered, per delivery, with 1 and with 10
// subscribers. The baseline does the same work in the simplest way: store
// the value under its key, then call each subscriber's method directly.
#include <benchmark/benchmark.h>

#include <map>
#include <string>
#include <vector>

#include <alcommon/almodule.h>
#include <alproxies/almemoryproxy.h>
#include <ktplatform/simrobot.h>
#include <qi/log.hpp>

#include "bench.h"

namespace {

const char* const kKey = "bench_event";

class Listener : public AL::ALModule {
public:
  Listener(boost::shared_ptr<AL::ALBroker> broker, const std::string& name)
    : AL::ALModule(broker, name), received(0) {
    setModuleDescription("Counts the events it is given.");
    functionName("onEvent", getName(), "Counts one event", 0);
    BIND_METHOD(Listener::onEvent);
  }
  void onEvent(const std::string& key, const AL::ALValue& value, const std::string& who) {
    benchmark::DoNotOptimize(key.size() + who.size());
    benchmark::DoNotOptimize(&value);
    ++received;
  }
  long received;
};

struct Bus {
  explicit Bus(int subscribers) {
    for (int i = 0; i < subscribers; ++i) {
      std::string name = "BenchListener" + std::to_string(i);
      listeners.push_back(AL::ALModule::createModule<Listener>(robot.broker(), name));
      memory.subscribeToEvent(kKey, name, "onEvent");
    }
  }
  kt::sim::Robot robot;
  AL::ALMemoryProxy memory{robot.broker()};
  std::vector<boost::shared_ptr<Listener> > listeners;
};

void raise(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  Bus bus(n);
  AL::ALValue value(1);
  for (auto _ : state) bus.memory.raiseEvent(kKey, value);
  for (auto& l : bus.listeners)
    if (l->received != static_cast<long>(state.iterations())) state.SkipWithError("an event was lost");
  state.SetItemsProcessed(state.iterations() * n);
}

void direct(benchmark::State& state) {
  int n = static_cast<int>(state.range(0));
  Bus bus(n);
  std::map<std::string, AL::ALValue> store;
  std::vector<std::pair<Listener*, std::string> > subscribers;
  for (auto& l : bus.listeners) subscribers.push_back(std::make_pair(l.get(), l->getName()));
  AL::ALValue value(1);
  std::string key = kKey;
  for (auto _ : state) {
    store[key] = value;
    for (auto& s : subscribers) s.first->onEvent(key, store[key], s.second);
  }
  state.SetItemsProcessed(state.iterations() * n);
}

BENCHMARK(raise)->Arg(1)->Arg(10)->Unit(benchmark::kNanosecond)->Repetitions(9)->ReportAggregatesOnly(true);
BENCHMARK(direct)->Arg(1)->Arg(10)->Unit(benchmark::kNanosecond)->Repetitions(9)->ReportAggregatesOnly(true);

// Keeps the medians, per delivery.
class Collector : public benchmark::ConsoleReporter {
public:
  // Plain text: scripts/bench reads the rows that follow.
  Collector() : ConsoleReporter(OO_Tabular) {}
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.aggregate_name != "median") continue;
      std::string name = r.benchmark_name();
      int n = std::stoi(name.substr(name.find('/') + 1));
      medians[name.substr(0, name.find('/')) + "/" + std::to_string(n)] = r.GetAdjustedRealTime() / n;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> medians;
};

}  // namespace

int main(int argc, char** argv) {
  qi::log::init(qi::LogLevel_Warning);
  std::vector<char*> args(argv, argv + argc);
  std::string interleave = "--benchmark_enable_random_interleaving=true";
  args.insert(args.begin() + 1, &interleave[0]);
  int count = static_cast<int>(args.size());
  benchmark::Initialize(&count, args.data());
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  for (int n : {1, 10}) {
    double mine = collector.medians["raise/" + std::to_string(n)];
    double limit = collector.medians["direct/" + std::to_string(n)];
    if (mine > 0 && limit > 0)
      kt::bench::row(n == 1 ? "event_1" : "event_10", mine, limit, mine / limit, "ns");
  }
  benchmark::Shutdown();
  return 0;
}
