// Console cleaning, the epoch/ETA text, the progress-channel reader and the job outcomes.

#include <gtest/gtest.h>

#include <QJsonObject>
#include <csignal>

#include "training/job_runner.h"
#include "training/log_bridge.h"
#include "training/train_progress.h"

using namespace orvane::training;

namespace {

// Every piece the sink lets through, in order.
struct Captured {
  QStringList pieces;
  StreamToSignal sink{[this](const QString& t) { pieces << t; }};
};

TEST(ConsoleText, RemovesEscapeCodesCarriageReturnsAndBareColourCodes) {
  const struct {
    QString in, out;
  } cases[] = {
      {"\x1b[31mred\x1b[0m", "red"},  // ESC colour and ESC reset
      {"\x1b[1;32mbold green\x1b[0m done", "bold green done"},
      {"\x1b[2K\x1b[1Aline", "line"},  // erase line, cursor up
      {"a\x1b"
       "Mb",
       "ab"},                     // ESC + one byte @..Z
      {"a\x1b_b", "ab"},          // ESC + one byte \..._
      {"x\x1b[?25ly", "xy"},      // private parameter bytes
      {"[31mplain[0m", "plain"},  // colour codes that lost their ESC
      {"value [1;34mblue", "value blue"},
      {"array[12m] stays?", "array] stays?"},  // removed in ordinary text too
      {"10%\r20%\r30%\n", "10%20%30%\n"},      // updates run together
      {"keep [brackets] and [1] and \\x1b", "keep [brackets] and [1] and \\x1b"},
      {"[٣m", ""},  // any decimal digit, as re reads \d
  };
  for (const auto& c : cases) EXPECT_EQ(clean_console_text(c.in), c.out) << c.in.toStdString();
}

TEST(ConsoleText, SinkEmitsNothingForEmptyOrOnlyCodesAndAddsNoLineBreak) {
  Captured c;
  c.sink.write("");
  c.sink.write("\r");
  c.sink.write("\x1b[31m\x1b[0m\r");
  EXPECT_TRUE(c.pieces.isEmpty());
  c.sink.write("Epoch 1");
  c.sink.write(" done\n");
  EXPECT_EQ(c.pieces, (QStringList{"Epoch 1", " done\n"}));
  EXPECT_TRUE(c.sink.isatty());
}

TEST(ConsoleText, DecoderHoldsBackSplitEscapeCodesAndUtf8) {
  Captured c;
  ConsoleDecoder decoder(c.sink);
  decoder.feed("loss \x1b[3");  // code cut in the middle
  decoder.feed("2m0.5\x1b");    // and again right after ESC
  decoder.feed("[0m ok \xc3");  // and a UTF-8 character cut in two
  decoder.feed("\xa9\n");
  decoder.finish();
  EXPECT_EQ(c.pieces.join(""), QString::fromUtf8("loss 0.5 ok \xc3\xa9\n"));
  // Nothing held back is lost at the end of the stream.
  Captured d;
  ConsoleDecoder tail(d.sink);
  tail.feed("end\x1b[");
  tail.finish();
  EXPECT_EQ(d.pieces.join(""), "end\x1b[");  // an unfinished code is not a code
}

TEST(EpochStatus, PercentAndEtaAsTheMonitorShowsThem) {
  EXPECT_EQ(progress_percent(29, 100), 28);  // 0.29 * 100 is just below 29
  EXPECT_EQ(progress_percent(3, 100), 3);
  EXPECT_EQ(progress_percent(1, 1), 100);
  EXPECT_EQ(progress_percent(0, 0), 0);
  EXPECT_EQ(format_eta(754.2), "00:12:34");
  EXPECT_EQ(format_eta(25 * 3600 + 61), "01:01:01");  // hours wrap at 24
  EXPECT_EQ(format_eta(59.999), "00:00:59");          // fractions dropped
  EXPECT_EQ(format_eta(-3), "00:00:00");
  // 3 epochs took 22.62 s: 97 more take 731.38 s.
  EXPECT_EQ(epoch_status_text(3, 100, 22.62), "Epoch 3/100 (3%) | ETA: 00:12:11");
  EXPECT_EQ(epoch_status_text(1, 1, 42.0), "Epoch 1/1 (100%) | ETA: 00:00:00");
  EXPECT_DOUBLE_EQ(eta_seconds(0, 10, 5.0), 50.0);  // no epoch yet: elapsed counts as one
}

TEST(JsonLines, PartialLinesWaitForTheRestAndBadLinesAreSkipped) {
  JsonLineParser parser;
  EXPECT_TRUE(parser.feed(R"({"event": "start", "save_d)").empty());
  auto got = parser.feed(R"(ir": "runs/a"})"
                         "\n"
                         R"({"event": "epoch", "epoch": 1, "epochs")");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]["save_dir"].toString(), "runs/a");
  got = parser.feed(": 2}\r\nnot json\n[1,2]\n\n{\"event\": \"finished\"}");
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]["epochs"].toInt(), 2);
  EXPECT_EQ(parser.bad_lines(), 2);
  got = parser.finish();  // the last line had no line break
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0]["event"].toString(), "finished");
  EXPECT_TRUE(parser.finish().empty());
}

JobResult ended(int code, const char* event = nullptr, bool crashed = false) {
  JobResult r;
  r.started = true;
  r.exit_code = code;
  r.crashed = crashed;
  if (event) r.last_event = QJsonObject{{"event", event}, {"message", "data.yaml: no such file"}};
  return r;
}

TEST(JobOutcome, ExactlyOneOutcomeForEveryWayAChildEnds) {
  const struct {
    JobResult result;
    bool stop;
    bool stopped;
    QString error;  // empty when it finished or stopped
  } cases[] = {
      {ended(0, "finished"), false, false, ""},
      {ended(0, "finished"), true, true, ""},  // stop after the last epoch
      {ended(0, "stopped"), true, true, ""},
      {ended(0, "stopped"), false, true, ""},  // stopped by someone else's signal
      {ended(1, "error"), false, false, "data.yaml: no such file"},
      {ended(SIGTERM, nullptr, true), true, true, ""},  // stopped while starting
      {ended(SIGKILL, nullptr, true), false, false,
       "The training process ended abnormally: killed by signal 9 (SIGKILL)."},
      {ended(SIGSEGV, "finished", true), false, false,
       "The training process ended abnormally: killed by signal 11 (SIGSEGV)."},
      {ended(0), false, false, "The training process ended without reporting a result."},
      {ended(3), false, false, "The training process failed with exit code 3."},
  };
  for (const auto& c : cases) {
    const orvane::tasks::TaskEnd o = training_outcome(c.result, c.stop);
    EXPECT_EQ(o.cancelled, c.stopped) << c.error.toStdString();
    EXPECT_EQ(o.error, c.error);
  }
  JobResult reasoned = ended(1);
  reasoned.last_line = "orvane train: unknown key 'bogus'";
  EXPECT_EQ(training_outcome(reasoned, false).error, "orvane train: unknown key 'bogus'");
  JobResult missing;
  missing.start_error = "The training process was not found: /x/orvane is missing.";
  EXPECT_FALSE(training_outcome(missing, false).cancelled);
  EXPECT_EQ(training_outcome(missing, false).error, missing.start_error);

  // Validation and tuning children have no channel: their exit says it all.
  const orvane::tasks::TaskEnd finished = plain_outcome(ended(0), false, "validation process");
  EXPECT_TRUE(!finished.cancelled && finished.error.isEmpty());
  EXPECT_TRUE(plain_outcome(ended(SIGTERM, nullptr, true), true, "validation process").cancelled);
  const orvane::tasks::TaskEnd failed = plain_outcome(ended(SIGABRT, nullptr, true), false, "tuning process");
  EXPECT_FALSE(failed.cancelled);
  EXPECT_EQ(failed.error, "The tuning process ended abnormally: killed by signal 6 (SIGABRT).");
}

TEST(JobRunner, MissingToolIsOneLineAndStartsNothing) {
  const JobResult r = run_job("/nonexistent/orvane", "train", {}, "training process", {}, {});
  EXPECT_FALSE(r.started);
  EXPECT_EQ(r.start_error, "The training process was not found: /nonexistent/orvane is missing.");
}

}  // namespace
