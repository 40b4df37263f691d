// savrel-import on a large generated trace, run as a user runs it: throughput in MB/s of trace
// text, and the process's peak resident memory against the trace's size. The trace is 200 MiB
// unless SAVREL_IMPORT_BENCH_MIB says otherwise (1024 gives the 1 GB figure).
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr size_t kDefaultMebibytes = 200;
constexpr double kMebibyte = 1024.0 * 1024.0;
constexpr int kWorkerThreads = 3;

#ifndef SAVREL_IMPORT_PATH
#define SAVREL_IMPORT_PATH ""
#endif

// A browser-like trace: a main thread whose frames hold nested work, workers with jobs that
// cross frames, counters, instants and metadata; with fractional times and args.
class GeneratedTrace {
public:
    explicit GeneratedTrace(size_t bytes)
    {
        char folder[] = "/tmp/savrel-import-bench-XXXXXX";
        if (!mkdtemp(folder)) std::abort();
        folder_ = folder;
        path_ = folder_ + "/trace.json";
        out_ = folder_ + "/out.bin";
        write(bytes);
    }

    ~GeneratedTrace()
    {
        std::remove(path_.c_str());
        std::remove(out_.c_str());
        rmdir(folder_.c_str());
    }

    const std::string& path() const { return path_; }
    const std::string& out() const { return out_; }
    size_t size() const { return size_; }

private:
    void event(FILE* file, const char* phase, const char* name, double ts, double dur, int tid)
    {
        if (dur >= 0) {
            size_ += size_t(std::fprintf(file, "{\"pid\":4242,\"tid\":%d,\"ts\":%.3f,\"ph\":\"%s\",\"cat\":\"devtools.timeline\",\"name\":\"%s\",\"dur\":%.3f,\"tdur\":%.3f,\"args\":{\"data\":{\"frame\":\"F7A3\",\"url\":\"https://example.org/app.js\",\"lineNumber\":%d}}},\n",
                                         tid, ts, phase, name, dur, dur * 0.9, int(ts) % 977));
        } else {
            size_ += size_t(std::fprintf(file, "{\"pid\":4242,\"tid\":%d,\"ts\":%.3f,\"ph\":\"%s\",\"cat\":\"blink\",\"name\":\"%s\",\"s\":\"t\",\"args\":{}},\n", tid, ts, phase, name));
        }
    }

    void frame(FILE* file, double start)
    {
        static const char* const kTasks[] = {"FunctionCall", "UpdateLayoutTree", "Layout", "Paint", "CompositeLayers", "HitTest", "ParseHTML", "EvaluateScript"};
        event(file, "X", "RunTask", start, 16000.0, 1);
        double at = start + 50.0;
        for (int task = 0; task < 8; task++) {
            event(file, "X", kTasks[task], at, 1500.0, 1);
            for (int call = 0; call < 4; call++) event(file, "X", "v8.callFunction", at + 100.0 + call * 300.0, 250.0, 1);
            at += 1800.0;
        }
        event(file, "I", "BeginFrame", start + 10.0, -1, 1);
        size_ += size_t(std::fprintf(file, "{\"pid\":4242,\"tid\":1,\"ts\":%.3f,\"ph\":\"C\",\"name\":\"UpdateCounters\",\"args\":{\"jsHeapSizeUsed\":%d}},\n", start, int(start) % 100000));
        for (int worker = 0; worker < kWorkerThreads; worker++) {
            event(file, "B", "ThreadPool_RunTask", start + 200.0 * worker, -1, 10 + worker);
            event(file, "E", "ThreadPool_RunTask", start + 200.0 * worker + 23000.0, -1, 10 + worker);
        }
    }

    void write(size_t bytes)
    {
        FILE* file = std::fopen(path_.c_str(), "w");
        if (!file) std::abort();
        size_ += size_t(std::fprintf(file, "{\"traceEvents\":[\n{\"ph\":\"M\",\"name\":\"thread_name\",\"pid\":4242,\"tid\":1,\"args\":{\"name\":\"CrRendererMain\"}},\n"));
        double start = 1.0e10 + 0.125;
        while (size_ < bytes) {
            frame(file, start);
            start += 16667.0;
        }
        size_ += size_t(std::fprintf(file, "{\"ph\":\"M\",\"name\":\"process_name\",\"pid\":4242,\"args\":{\"name\":\"Renderer\"}}\n],\n\"metadata\":{\"source\":\"bench\"}}\n"));
        std::fclose(file);
    }

    std::string folder_;
    std::string path_;
    std::string out_;
    size_t size_ = 0;
};

size_t trace_mebibytes()
{
    const char* text = std::getenv("SAVREL_IMPORT_BENCH_MIB");
    return text && std::atoi(text) > 0 ? size_t(std::atoi(text)) : kDefaultMebibytes;
}

double seconds(const struct timeval& time)
{
    return double(time.tv_sec) + double(time.tv_usec) * 1e-6;
}

// Runs the importer to the end; returns its exit status, its peak resident memory in bytes and
// the processor time it used (which, unlike the wall time, a busy machine barely changes).
int run_import(const GeneratedTrace& trace, long* peak_bytes, double* cpu_seconds)
{
    pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        execl(SAVREL_IMPORT_PATH, SAVREL_IMPORT_PATH, "--frame", "RunTask", trace.path().c_str(), trace.out().c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    int status = 0;
    struct rusage usage {};
    wait4(pid, &status, 0, &usage);
    *peak_bytes = usage.ru_maxrss * 1024L;
    *cpu_seconds = seconds(usage.ru_utime) + seconds(usage.ru_stime);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128;
}

void BM_ImportLargeTrace(benchmark::State& state)
{
    if (std::string(SAVREL_IMPORT_PATH).empty()) {
        state.SkipWithError("savrel-import is not built");
        return;
    }
    static GeneratedTrace trace(trace_mebibytes() << 20);
    long peak = 0;
    double cpu_seconds = 0.0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        double cpu = 0.0;
        if (run_import(trace, &peak, &cpu) != 0) {
            state.SkipWithError("savrel-import failed");
            return;
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        cpu_seconds += cpu;
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(trace.size()));
    state.counters["trace_MiB"] = double(trace.size()) / kMebibyte;
    state.counters["peak_MiB"] = double(peak) / kMebibyte;
    state.counters["cpu_MB_per_s"] = double(state.iterations()) * double(trace.size()) / 1e6 / cpu_seconds;
    state.counters["peak_per_trace_byte"] = double(peak) / double(trace.size());
}
BENCHMARK(BM_ImportLargeTrace)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
