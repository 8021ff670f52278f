// Eight client threads and two client processes issue mixed requests to one main filter
// driver for a few seconds, each transaction on its own handle inside the handshake, as the
// library does. Afterwards the tables must agree with each other and with the status, and
// no request may have arrived outside the handshake.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core_fixture.h"
#include "sim_client.h"

namespace nuvex::simtest {
namespace {

using Clock = std::chrono::steady_clock;

Bytes WorkerRecord(uint32_t id, uint32_t worker) {
    Bytes record(2468, 0);
    PutU32(record, 4, id);
    std::string list = "w" + std::to_string(worker) + "|p" + std::to_string(id);
    std::memcpy(record.data() + 1092, list.data(), list.size());
    PutU32(record, 1348, 1);
    PutU32(record, 1352, id);  // travels byte-reversed
    return record;
}

// True when a delivered record is the one WorkerRecord built.
bool Matches(const Bytes& got, uint32_t id, uint32_t worker) {
    std::string list = "w" + std::to_string(worker) + "|p" + std::to_string(id) + "|";
    return got.size() == 2468 && Get32(got, 4) == id &&
           std::strcmp(reinterpret_cast<const char*>(got.data() + 1092), list.c_str()) == 0 &&
           Get32(got, 1348) == 1 && Get32(got, 1352) == id;
}

// One client's work; returns the number of answers that were wrong.
int Work(const std::string& device, uint32_t worker, const std::string& docPath,
         Clock::time_point until, std::atomic<long>* transactions = nullptr) {
    int failures = 0;
    std::mt19937 random(worker * 7919u + 1);
    int doc = ::open(docPath.c_str(), O_RDONLY);
    std::vector<uint32_t> mine;
    for (uint32_t round = 0; Clock::now() < until; ++round) {
        Client client(device);
        if (!client.BeginControl()) {
            ++failures;
            continue;
        }
        switch (random() % 6) {
        case 0: {  // fresh ID, insert, read back
            uint32_t id = Get32(client.Call(main_driver::kPolicyNewId, {}, 4).bytes, 0);
            if (id == 0 || !client.Call(main_driver::kPolicyInsert, WorkerRecord(id, worker)).ok) {
                ++failures;
                break;
            }
            Reply back = client.Call(main_driver::kPolicyById, Le(id), 2468);
            if (!back.ok || !Matches(back.bytes, id, worker)) ++failures;
            mine.push_back(id);
            break;
        }
        case 1: {  // text round trip of one of this worker's policies
            if (mine.empty()) break;
            uint32_t id = mine[random() % mine.size()];
            Reply text = client.Call(main_driver::kPolicyStrById, Le(id), 2048);
            if (!text.ok || text.bytes.empty() || text.bytes.back() != '|') {
                ++failures;
                break;
            }
            text.bytes.pop_back();
            if (!client.Call(main_driver::kPolicyStrInsert, text.bytes).ok) ++failures;
            Reply back = client.Call(main_driver::kPolicyById, Le(id), 2468);
            if (!back.ok || !Matches(back.bytes, id, worker)) ++failures;
            break;
        }
        case 2: {  // delete one of this worker's policies
            if (mine.size() < 4) break;
            size_t at = random() % mine.size();
            Reply deleted = client.Call(main_driver::kPolicyDeleteOne, Le(mine[at]), 4);
            if (!deleted.ok || Get32(deleted.bytes, 0) != 1) ++failures;
            mine.erase(mine.begin() + static_cast<long>(at));
            break;
        }
        case 3: {  // pass paths
            std::string path = "/w" + std::to_string(worker) + "/p" + std::to_string(round % 50);
            if (!client.Call(main_driver::kPassPathAdd, Text(path + "|")).ok) ++failures;
            Reply size = client.Call(main_driver::kPassPathSize, {}, 4);
            Reply text = client.Call(main_driver::kPassPathText, {}, Get32(size.bytes, 0) + 4);
            std::string all(text.bytes.begin(), text.bytes.end());
            if (!text.ok || all.find(path + "|") == std::string::npos) ++failures;
            break;
        }
        case 4: {  // header read through this process's handle
            Bytes in(20, 0);
            PutU32(in, 0, static_cast<uint32_t>(doc));
            PutU32(in, 4, 1);
            PutU32(in, 12, 4096);
            Reply header = client.Call(main_driver::kHeaderRequest, in, 4096);
            if (!header.ok || header.bytes.size() != 4096) ++failures;
            break;
        }
        default: {  // status and a log batch
            if (client.Call(main_driver::kGetStatus, {}, 12).bytes.size() != 12) ++failures;
            Reply log = client.Call(main_driver::kGetLog, {}, 4096);
            if (!log.ok || Get32(log.bytes, 0) > 4088) ++failures;
            break;
        }
        }
        client.EndControl();
        if (transactions) ++*transactions;
    }
    if (doc >= 0) ::close(doc);
    return failures;
}

TEST(DriverConcurrency, TablesStayConsistentUnderLoad) {
    std::string root = MakeTempRoot();
    DriverProcess driver;
    ASSERT_TRUE(driver.Start("Nuvex.sys", root));
    std::string device = root + "/Device/Nuvexcdo_3";
    std::string docPath = root + "/shared.doc";
    std::ofstream(docPath, std::ios::binary) << DocumentHeader() << "body";
    {
        Client setup(device);
        setup.Call(main_driver::kStartLogging);  // logging on
    }
    auto until = Clock::now() + std::chrono::seconds(3);

    // The client processes are forked before any thread of this process starts.
    std::vector<pid_t> children;
    for (uint32_t i = 0; i < 2; ++i) {
        pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) ::_exit(Work(device, 100 + i, docPath, until) == 0 ? 0 : 1);
        children.push_back(pid);
    }
    std::atomic<int> failures{0};
    std::atomic<long> transactions{0};
    std::vector<std::thread> threads;
    for (uint32_t i = 0; i < 8; ++i)
        threads.emplace_back(
            [&, i] { failures += Work(device, i, docPath, until, &transactions); });
    for (auto& thread : threads) thread.join();
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "client process failed";
    }
    EXPECT_EQ(failures.load(), 0);
    EXPECT_GT(transactions.load(), 100);
    ::testing::Test::RecordProperty("thread_transactions", static_cast<int>(transactions.load()));
    std::printf("8 threads: %ld transactions (connect, handshake, requests, end) in 3 s\n",
                transactions.load());

    // Both walks of the policy table give the same IDs, which the status counts.
    Client client(device);
    ASSERT_TRUE(client.BeginControl());
    std::vector<uint32_t> byRecord, byText;
    for (uint32_t cursor = 0;;) {
        Reply next = client.Call(main_driver::kPolicyNext, Le(cursor), 2468);
        if (!next.ok) break;
        ASSERT_GT(Get32(next.bytes, 4), cursor);
        cursor = Get32(next.bytes, 4);
        byRecord.push_back(cursor);
    }
    for (uint32_t cursor = 0;;) {
        Reply next = client.Call(main_driver::kPolicyStrNext, Le(cursor), 2048);
        if (!next.ok) break;
        std::string text(next.bytes.begin(), next.bytes.end());
        cursor = static_cast<uint32_t>(std::stoul(text.substr(3, text.find('|') - 3)));
        byText.push_back(cursor);
    }
    EXPECT_EQ(byRecord, byText);
    Reply status = client.Call(main_driver::kGetStatus, {}, 12);
    EXPECT_EQ(Get32(status.bytes, 4), byRecord.size());
    EXPECT_EQ(Get32(status.bytes, 8), 0u) << "handshake violations";

    Reply size = client.Call(main_driver::kPassPathSize, {}, 4);
    Reply text = client.Call(main_driver::kPassPathText, {}, Get32(size.bytes, 0) + 4);
    std::string all(text.bytes.begin(), text.bytes.end());
    std::set<std::string> paths;
    size_t count = 0;
    for (size_t start = 0; start < all.size();) {
        size_t bar = all.find('|', start);
        paths.insert(all.substr(start, bar - start));
        ++count;
        start = bar + 1;
    }
    EXPECT_EQ(paths.size(), count) << "a pass path is kept twice";
    EXPECT_EQ(status.bytes[2] | (status.bytes[3] << 8), static_cast<int>(count));
    client.EndControl();
    EXPECT_EQ(driver.Stop(), 0);
    RemoveTree(root);
}

}  // namespace
}  // namespace nuvex::simtest
