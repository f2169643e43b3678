// The line view's endpoints over HTTP against a known ledger, and the
// stream of events that a page that stops reading must never hold up.
#include <gtest/gtest.h>
#include <httplib.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "tools/veskorctl/events.h"
#include "tools/veskorctl/webview.h"
#include "workflow/record.h"

namespace {

std::string at(int minutes_ago) {
  time_t t = time(nullptr) - minutes_ago * 60;
  struct tm local;
  localtime_r(&t, &local);
  char buf[40];
  strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S%z", &local);
  std::string s = buf;
  s.insert(s.size() - 2, ":");
  return s;
}

// A bench's ledger of known boards: one line of work each (a burn and, when
// mac is given, a MAC step after it).
struct known_ledger {
  std::string text = "time,address,name,old_mac,new_mac,firmware,sha256,result,bench,operator,id,kind,target,stage,page\n";
  int n = 0;
  void board(int ago, const char* bench, const char* ip, const char* name, const char* old_mac, const char* new_mac,
             const char* burn, const char* mac = nullptr, const char* stage = "", const char* page = "") {
    char id[40], step[64];
    std::snprintf(id, sizeof id, "%032x", ++n);
    std::snprintf(step, sizeof step, "%s-%08x", id, n);
    std::string common = std::string(",") + ip + "," + name + "," + old_mac + ",";
    const std::string fw = ",/fw.hex," + std::string(64, 'a') + ",";
    std::string tail = std::string(",") + bench + ",op,";
    bool failed = std::string(burn) == "failed";
    text += at(ago) + common + fw + "begun" + tail + id + ",burn,main,,\n";
    text += at(ago - 1) + common + fw + burn + tail + id + ",burn,main," + (failed ? stage : "") + "," +
            (failed ? page : "") + "\n";
    if (!mac) return;
    text += at(ago - 1) + common + new_mac + fw + "reserved" + tail + step + ",mac,,,\n";
    text += at(ago - 2) + common + new_mac + fw + mac + tail + step + ",mac,,,\n";
  }
};

class LineView : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() / ("veskor-lineview-" + std::to_string(getpid()));
    std::filesystem::create_directories(dir_);
    known_ledger k;
    k.board(600, "A", "192.0.2.9", "OLD", "02:00:00:00:00:09", "5A:3C:19:00:00:09", "flashed", "confirmed");
    k.board(50, "A", "192.0.2.10", "SIM0", "02:00:00:00:00:01", "5A:3C:19:00:00:01", "flashed", "confirmed");
    k.board(45, "A", "192.0.2.11", "SIM1", "02:00:00:00:00:02", "", "failed", nullptr, "burn", "17");
    k.board(40, "A", "192.0.2.11", "SIM1", "02:00:00:00:00:02", "5A:3C:19:00:00:02", "flashed", "confirmed");
    k.board(35, "B", "192.0.2.12", "SIM2", "02:00:00:00:00:03", "5A:3C:19:00:00:03", "flashed", "failed");
    k.board(30, "B", "192.0.2.13", "SIM3", "02:00:00:00:00:04", "5A:3C:19:00:00:04", "flashed", "confirmed");
    std::ofstream((dir_ / "ledger.csv").string()) << k.text;
    ledger_ = open_file_ledger((dir_ / "ledger.csv").string(), "A", "op");
    view_.reset(new ctl::web_view(ledger_.get(), "A", &events_));
    std::string problem;
    ASSERT_TRUE(view_->start("127.0.0.1", 0, problem)) << problem;
  }
  void TearDown() override {
    view_.reset();
    std::filesystem::remove_all(dir_);
  }

  httplib::Client client() {
    httplib::Client c("127.0.0.1", view_->port());
    c.set_read_timeout(20);
    return c;
  }

  std::filesystem::path dir_;
  std::unique_ptr<mac_ledger> ledger_;
  ctl::event_stream events_;
  std::unique_ptr<ctl::web_view> view_;
};

// The figures of a period: the old board outside it counts for nothing, a
// board that failed and was done later is done but not first time, and a
// refused MAC is a failure of its own cause. The metrics count all time.
TEST_F(LineView, EndpointsAnswerFromTheRecord) {
  httplib::Client c = client();
  auto line = c.Get("/api/line?period=8h");
  ASSERT_TRUE(line);
  EXPECT_EQ(line->status, 200);
  EXPECT_NE(line->body.find("\"line\":{\"done\":3,\"failed\":2,\"attempted\":4,\"first_pass\":2,\"yield\":0.5,"),
            std::string::npos)
      << line->body;
  EXPECT_NE(line->body.find("{\"bench\":\"B\",\"in_flight\":0,\"state\":null,\"seen\":null,\"done\":1,\"failed\":1,"), std::string::npos);
  EXPECT_NE(line->body.find(u8"{\"stage\":\"mac\",\"reason\":\"MAC-адрес не принят\",\"count\":1"), std::string::npos);
  EXPECT_NE(line->body.find(u8"{\"stage\":\"burn\",\"reason\":\"прошивка не удалась\",\"count\":1"), std::string::npos);
  EXPECT_EQ(line->body.find("\"OLD\""), std::string::npos);
  EXPECT_EQ(c.Get("/api/line?period=3y")->status, 400);

  auto metrics = c.Get("/metrics");
  ASSERT_TRUE(metrics);
  for (const char* want : {"veskor_boards_total{bench=\"A\",result=\"done\"} 3\n",
                           "veskor_boards_total{bench=\"A\",result=\"failed\"} 1\n",
                           "veskor_boards_total{bench=\"B\",result=\"failed\"} 1\n",
                           "veskor_failures_total{bench=\"A\",cause=\"burn\"} 1\n",
                           "veskor_failures_total{bench=\"B\",cause=\"mac\"} 1\n",
                           "veskor_boards_in_flight{bench=\"A\"} 0\n", "veskor_first_pass_yield{bench=\"B\"} 0.5\n"})
    EXPECT_NE(metrics->body.find(want), std::string::npos) << want << metrics->body;

  // A board's history: its MAC step and the burn of the same line of work.
  auto trace = c.Get("/api/trace?mac=5A:3C:19:00:00:02");
  ASSERT_TRUE(trace);
  EXPECT_EQ(trace->body.front(), '[');
  size_t records = 0;
  for (size_t p = 0; (p = trace->body.find("\"kind\":", p)) != std::string::npos; p++) records++;
  EXPECT_EQ(records, 2u) << trace->body;
  EXPECT_EQ(c.Get("/api/trace?mac=nonsense")->status, 400);

  // Read-only: nothing is taken but GET.
  auto post = c.Post("/api/line", "x", "text/plain");
  ASSERT_TRUE(post);
  EXPECT_GE(post->status, 400);
}

// A page that reads gets every event as --json writes it; one that stops
// reading loses its queue and is told to read the whole state again, while
// the board threads publish on regardless.
TEST_F(LineView, EventsReachReadingPagesAndStalledOnesResync) {
  std::atomic<bool> got{false};
  std::string seen;
  std::thread reader([&] {
    httplib::Client c = client();
    c.Get("/api/events", [&](const char* data, size_t n) {
      seen.append(data, n);
      if (seen.find("\"board\":\"192.0.2.50\"") != std::string::npos &&
          seen.find("\"result\":\"done\"") != std::string::npos) {
        got = true;
        return false;
      }
      return true;
    });
  });
  // The stream is a sink like the others: the board shows up in the
  // snapshot and in the page's stream. A page opened too late for the
  // first events still sees the board finish, so publish until it does.
  int board = events_.add("192.0.2.50", "SIM50");
  events_.set_stage(board, ctl::stage::burn);
  httplib::Client c = client();
  auto line = c.Get("/api/line?period=1h");
  ASSERT_TRUE(line);
  EXPECT_NE(line->body.find("\"in_flight\":[{\"bench\":\"A\",\"address\":\"192.0.2.50\",\"name\":\"SIM50\",\"stage\":\"burn\""),
            std::string::npos)
      << line->body;
  for (int i = 0; i < 200 && !got; i++) {
    int again = events_.add("192.0.2.50", "SIM50");
    events_.finish(again, "done", "", "5A:3C:19:00:00:50", "");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  reader.join();
  EXPECT_TRUE(got) << seen;

  // A page that never reads, beside one that does.
  ctl::view_sink sink;
  ctl::event_stream stream;
  stream.subscribe(&sink);
  int stalled = sink.open_client(), reading = sink.open_client();
  ASSERT_GE(stalled, 0);
  std::string read_out, stalled_out;
  size_t published = 0;
  for (size_t i = 0; i < 3 * ctl::view_sink::QUEUE_BOUND; i++) {
    int id = stream.add("192.0.2.60", "SIM60");
    stream.set_stage(id, ctl::stage::burn);
    published++;
    stream.finish(id, "failed", "", "", "x");
    published++;
    if (i % 16 == 0) {
      ASSERT_TRUE(sink.take(reading, 0, read_out));
    }
  }
  ASSERT_TRUE(sink.take(reading, 0, read_out));
  size_t events = 0;
  for (size_t p = 0; (p = read_out.find("data: {", p)) != std::string::npos; p++) events++;
  EXPECT_EQ(events, published);
  EXPECT_EQ(read_out.find("event: resync"), std::string::npos);
  ASSERT_TRUE(sink.take(stalled, 0, stalled_out));
  EXPECT_NE(stalled_out.find("event: resync"), std::string::npos);
  EXPECT_LT(stalled_out.size(), read_out.size() / 2);
  stream.unsubscribe(&sink);
  sink.stop();
  EXPECT_FALSE(sink.take(reading, 0, read_out));
}

}  // namespace
