// Configuration is read on every use (each log line reads LogAll, each classification reads
// Domain), so opening a key and reading a value must stay cheap.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "core/QueueFiles.h"
#include "core/RegistryKey.h"
#include "platform/Hive.h"

namespace {

struct BenchHive {
    BenchHive() {
        std::string pattern = (std::filesystem::temp_directory_path() / "pvbench-XXXXXX").string();
        dir = ::mkdtemp(pattern.data());
        pv::platform::SetHivePath(dir + "/registry.db");
        pv::CRegistryKey root("", true);
        root.WriteInt("LogAll", 1);
        root.WriteString("Maildrop", dir + "/spool");
        pv::CRegistryKey adv("AdvCon", true);
        adv.WriteInt("SMTPintimeout", 60);
        pv::CRegistryKey box("mailbox\\alice", true);
        box.WriteString("Str1", "alice@example.test");
    }
    ~BenchHive() { std::filesystem::remove_all(dir); }
    std::string dir;
};

BenchHive& Hive() {
    static BenchHive hive;
    return hive;
}

void BM_OpenKeyReadInteger(benchmark::State& state) {
    Hive();
    for (auto _ : state) {
        pv::CRegistryKey key("AdvCon", false);
        uint32_t timeout = 60;
        key.ReadInt("smtpintimeout", timeout);
        benchmark::DoNotOptimize(timeout);
    }
}
BENCHMARK(BM_OpenKeyReadInteger);

void BM_OpenKeyReadString(benchmark::State& state) {
    Hive();
    for (auto _ : state) {
        pv::CRegistryKey key("mailbox\\alice", false);
        std::string text;
        key.ReadString("Str1", text);
        benchmark::DoNotOptimize(text);
    }
}
BENCHMARK(BM_OpenKeyReadString);

void BM_RootReadInteger(benchmark::State& state) {
    Hive();
    for (auto _ : state) {
        pv::CRegistryKey key("", false);
        uint32_t logAll = 0;
        key.ReadInt("LogAll", logAll);
        benchmark::DoNotOptimize(logAll);
    }
}
BENCHMARK(BM_RootReadInteger);

void BM_PrimaryDomain(benchmark::State& state) {
    Hive();
    pv::CRegistryKey domains("Domain", true);
    domains.WriteInt("branch.example.test", 0);
    domains.WriteInt("example.test", 1);
    for (auto _ : state) benchmark::DoNotOptimize(pv::PrimaryDomain());
}
BENCHMARK(BM_PrimaryDomain);

// Every queued message takes one name: a read and a durable write of FileNum.
void BM_NextQueueFileName(benchmark::State& state) {
    Hive();
    for (auto _ : state) benchmark::DoNotOptimize(pv::NextQueueFileName());
}
BENCHMARK(BM_NextQueueFileName);

}  // namespace

BENCHMARK_MAIN();
