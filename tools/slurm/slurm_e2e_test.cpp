// The Slurm side on a real one-machine cluster (testing::SlurmCluster): array
// tasks side by side, a job that depends on them, and the batch script
// tools/slurm/upscale.sh running lmr's segmented job and its join.
#include <gtest/gtest.h>
#include <sched.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "testing.h"

namespace lmr::testing {
namespace {

namespace fs = std::filesystem;

// The cluster for one test, or a skip or failure that says why not.
#define START_CLUSTER(cluster)                                     \
  SlurmCluster cluster;                                            \
  if (!cluster.skip_reason().empty())                              \
    GTEST_SKIP() << "no Slurm cluster: " << cluster.skip_reason(); \
  ASSERT_EQ(cluster.error(), "")

std::string submit(const SlurmCluster& cluster, const std::vector<std::string>& argv) {
  ProcResult r = cluster.client(argv);
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  std::string id = r.out.substr(0, r.out.find_first_of(";\n"));
  EXPECT_FALSE(id.empty()) << r.out << r.err;
  return id;
}

struct Span {
  double start = 0, end = 0;
};

// "a..b and c..d overlap by x s": measured, printed, never asserted.
void print_overlap(const std::string& what, const std::vector<Span>& spans) {
  ASSERT_EQ(spans.size(), 2u);
  const double overlap =
      std::min(spans[0].end, spans[1].end) - std::max(spans[0].start, spans[1].start);
  std::printf("%s: task 0 ran %.2f..%.2f s, task 1 %.2f..%.2f s: %s by %.2f s\n", what.c_str(), 0.0,
              spans[0].end - spans[0].start, spans[1].start - spans[0].start,
              spans[1].end - spans[0].start, overlap > 0 ? "they overlap" : "NO overlap", overlap);
}

// Whether this process may run on processors 0 and 1, the two CPUs of the
// cluster's node: the cluster then binds each task to the CPUs it is given.
bool binds_tasks() {
  cpu_set_t set;
  CPU_ZERO(&set);
  return sched_getaffinity(0, sizeof set, &set) == 0 && CPU_ISSET(0, &set) && CPU_ISSET(1, &set);
}

TEST(SlurmCluster, ArrayTasksRunSideBySideOnACpuEachThenTheJobThatDependsOnThem) {
  START_CLUSTER(cluster);
  TempDir work;
  // Each task runs the engine, records when it ran and the CPUs it may use,
  // and runs a model with the thread count the engine takes from them
  // (model_run's default); the second job lists what the tasks left.
  write_file(work / "in.f32", std::string(3 * 64 * 64 * sizeof(float), '\0'));
  write_file(work / "task.sh",
             "#!/bin/sh\n"
             "i=$SLURM_ARRAY_TASK_ID\n"
             "start=$(date +%s.%N)\n"
             "\"$2\" --version 2>\"$1/version.$i\" || exit 1\n"
             "cpus=$(sed -n 's/^Cpus_allowed_list:[[:space:]]*//p' /proc/self/status)\n"
             "\"$3\" --runs 4 \"$4\" \"$1/in.f32\" 64 64 \"$1/out.$i\" >\"$1/run.$i\" || exit 1\n"
             "threads=$(sed -n 's/.*, \\([0-9]*\\) threads$/\\1/p' \"$1/run.$i\")\n"
             "sleep 2\n"
             "echo \"$i $SLURM_ARRAY_TASK_COUNT $start $(date +%s.%N) $threads $cpus\" "
             ">\"$1/task.$i\"\n");
  write_file(work / "after.sh",
             "#!/bin/sh\n"
             "{ date +%s.%N; cat \"$1/task.0\" \"$1/task.1\"; } >\"$1/after\"\n");
  const std::string lmr = (bin_dir() / "lmr").string(), dir = work.path().string();
  const std::string array =
      submit(cluster, {"sbatch", "--parsable", "--array=0-1", "--cpus-per-task=1", "-o",
                       dir + "/slurm-%A_%a.out", (work / "task.sh").string(), dir, lmr,
                       (bin_dir() / "model_run").string(), model("heavy2x.onnx").string()});
  const std::string after =
      submit(cluster,
             {"sbatch", "--parsable", "--dependency=afterok:" + array, "--kill-on-invalid-dep=yes",
              "-o", dir + "/slurm-%j.out", (work / "after.sh").string(), dir});
  ASSERT_TRUE(cluster.wait_done({array, after}, 90)) << cluster.logs();

  std::vector<Span> spans;
  std::vector<std::string> cpus;
  for (int t = 0; t < 2; ++t) {
    std::istringstream fields(read_file(work / ("task." + std::to_string(t))));
    int index = -1, count = 0, threads = 0;
    Span s;
    std::string allowed;
    fields >> index >> count >> s.start >> s.end >> threads >> allowed;
    EXPECT_EQ(index, t);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(read_file(work / ("version." + std::to_string(t))).rfind("lmr ", 0), 0u);
    std::printf("task %d: allowed CPUs %s; %d inference thread(s)\n", t, allowed.c_str(), threads);
    if (binds_tasks()) {
      // One CPU each, not the same one, and one thread on it.
      EXPECT_EQ(allowed.find_first_of(",-"), std::string::npos) << allowed;
      EXPECT_EQ(threads, 1);
    }
    spans.push_back(s);
    cpus.push_back(allowed);
  }
  if (binds_tasks()) {
    EXPECT_NE(cpus[0], cpus[1]);
  }
  print_overlap("two one-CPU array tasks on 2 CPUs", spans);
  // The dependent job started after both tasks ended, and saw their files.
  std::istringstream lines(read_file(work / "after"));
  double after_start = 0;
  lines >> after_start;
  EXPECT_GE(after_start, std::max(spans[0].end, spans[1].end));
  EXPECT_NE(read_file(work / "after").find("\n1 2 "), std::string::npos);
  for (const auto& record : cluster.job_records(after))
    EXPECT_EQ(record.at("JobState"), "COMPLETED");
}

TEST(SlurmCluster, AFailedTaskCancelsTheJobThatDependsOnIt) {
  START_CLUSTER(cluster);
  TempDir work;
  const std::string dir = work.path().string();
  const std::string array =
      submit(cluster, {"sbatch", "--parsable", "--array=0-1", "-o", "/dev/null", "--wrap",
                       "test \"$SLURM_ARRAY_TASK_ID\" = 0"});
  const std::string after = submit(
      cluster, {"sbatch", "--parsable", "--dependency=afterok:" + array,
                "--kill-on-invalid-dep=yes", "-o", "/dev/null", "--wrap", "touch " + dir + "/ran"});
  ASSERT_TRUE(cluster.wait_done({array, after}, 90)) << cluster.logs();
  EXPECT_FALSE(fs::exists(work / "ran"));
  for (const auto& record : cluster.job_records(after))
    EXPECT_EQ(record.at("JobState"), "CANCELLED");
}

// framemd5 of the video, the way a viewer decodes it: time stamps, sizes and
// the picture of every frame.
std::string frames_of(const fs::path& video) {
  ProcResult r = run({(bin_dir() / "ffmpeg").string(), "-v", "error", "-i", video.string(), "-map",
                      "0:v:0", "-f", "framemd5", "-"},
                     {}, 120);
  EXPECT_EQ(r.exit_code(), 0) << r.err;
  std::string kept;
  std::istringstream lines(r.out);
  for (std::string line; std::getline(lines, line);)
    if (!line.starts_with("#"))
      kept += line + "\n";
  return kept;
}

struct UpscaleJob {
  TempDir work;
  // ProRes codes every frame on its own, so the segments' frames are the
  // one-process run's bit for bit (an inter codec restarts its prediction
  // at every segment).
  fs::path clip = work / "in.mp4", reference = work / "one-process.mov", output = work / "out.mov",
           job = work / "job";
  // A model of the tests; heavy2x keeps a task busy for seconds.
  std::string model_name;
  explicit UpscaleJob(std::string name) : model_name(std::move(name)) {
    make_clip(clip, 96, 64, 36, "24");
    ProcResult r = run_lmr({"upscale", "--model", model(model_name).string(), "-i", clip.string(),
                            "-o", reference.string(), "--ep", "cpu", "--codec", "prores"});
    EXPECT_EQ(r.exit_code(), 0) << r.err;
  }
  std::vector<std::string> script() const {
    std::vector<std::string> argv{(source_dir() / "tools/slurm/upscale.sh").string(),
                                  "--lmr",
                                  (bin_dir() / "lmr").string(),
                                  "--input",
                                  clip.string(),
                                  "--output",
                                  output.string(),
                                  "--model",
                                  model(model_name).string(),
                                  "--job",
                                  job.string(),
                                  "--tasks",
                                  "2",
                                  "--segment-frames",
                                  "6",
                                  "--log-dir",
                                  (work / "logs").string()};
    argv.insert(argv.end(), {"--", "--ep", "cpu", "--codec", "prores"});
    return argv;
  }
  // What the jobs printed.
  std::string logs() const {
    std::string text;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(work / "logs", ec))
      text += "--- " + e.path().filename().string() + "\n" + read_file(e.path());
    return text;
  }
  // The job's ids from the script's lines "array job ID: ..." and "join job ID: ...".
  static std::string id_after(const std::string& out, const std::string& prefix) {
    const size_t at = out.find(prefix);
    if (at == std::string::npos)
      return "";
    const size_t begin = at + prefix.size();
    return out.substr(begin, out.find(':', begin) - begin);
  }
};

Span task_span(const SlurmCluster& cluster, const std::string& array, int task) {
  Span s;
  for (const auto& record : cluster.job_records(array + "_" + std::to_string(task))) {
    // Whole seconds: Slurm's own record of the task.
    auto seconds = [](const std::string& stamp) {
      std::tm tm{};
      std::istringstream in(stamp);
      in >> std::get_time(&tm, "%Y-%m-%dT%H:%M:%S");
      return static_cast<double>(timegm(&tm));
    };
    s = {seconds(record.at("StartTime")), seconds(record.at("EndTime"))};
  }
  return s;
}

TEST(SlurmCluster, UpscaleArrayAndJoinGiveTheOneProcessFrames) {
  START_CLUSTER(cluster);
  UpscaleJob j("nn2x.onnx");
  // Polled here rather than with --wait: sbatch --wait looks again only every
  // few tens of seconds.
  ProcResult r = cluster.client(j.script());
  ASSERT_EQ(r.exit_code(), 0) << r.out << r.err;
  const std::string array = UpscaleJob::id_after(r.out, "array job "),
                    join = UpscaleJob::id_after(r.out, "join job ");
  ASSERT_TRUE(cluster.wait_done({array, join}, 120)) << cluster.logs();
  for (const auto& record : cluster.job_records(join))
    EXPECT_EQ(record.at("JobState"), "COMPLETED") << j.logs();
  EXPECT_EQ(frames_of(j.output), frames_of(j.reference)) << j.logs();
  EXPECT_FALSE(fs::exists(j.job));
  print_overlap("two upscale tasks (Slurm's whole seconds)",
                {task_span(cluster, array, 0), task_span(cluster, array, 1)});
}

TEST(SlurmCluster, ATaskKilledAndRequeuedStillJoinsToTheOneProcessFrames) {
  START_CLUSTER(cluster);
  UpscaleJob j("heavy2x.onnx");
  ProcResult r = cluster.client(j.script());
  ASSERT_EQ(r.exit_code(), 0) << r.out << r.err;
  const std::string array = UpscaleJob::id_after(r.out, "array job "),
                    join = UpscaleJob::id_after(r.out, "join job ");
  ASSERT_FALSE(array.empty());
  ASSERT_FALSE(join.empty());
  // Once task 0 runs, Slurm kills it and queues it again.
  const std::string task0 = array + "_0";
  bool requeued = false;
  for (int i = 0; i < 300 && !requeued; ++i) {
    auto records = cluster.job_records(task0);
    if (!records.empty() && records.front()["JobState"] == "RUNNING") {
      usleep(1500000);
      ProcResult q = cluster.client({"scontrol", "requeue", task0});
      ASSERT_EQ(q.exit_code(), 0) << q.err;
      requeued = true;
      // Slurm holds a requeued job back for two minutes; start it now.
      for (int k = 0; k < 100 && cluster.job_records(task0).front()["JobState"] != "PENDING"; ++k)
        usleep(100000);
      q = cluster.client({"scontrol", "update", "JobId=" + task0, "StartTime=now"});
      ASSERT_EQ(q.exit_code(), 0) << q.err;
    }
    usleep(100000);
  }
  ASSERT_TRUE(requeued) << "task 0 never ran" << cluster.logs();
  ASSERT_TRUE(cluster.wait_done({array, join}, 300)) << cluster.logs();
  for (const auto& record : cluster.job_records(join))
    EXPECT_EQ(record.at("JobState"), "COMPLETED") << j.logs();
  EXPECT_EQ(cluster.job_records(task0).at(0).at("Restarts"), "1");
  EXPECT_EQ(frames_of(j.output), frames_of(j.reference)) << j.logs();
  EXPECT_FALSE(fs::exists(j.job));
}

}  // namespace
}  // namespace lmr::testing
