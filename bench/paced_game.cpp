// savrel-paced-game: a program that records itself at 60 frames a second, for measuring what a
// viewer beside it costs. Built and run by bench/viewer_cost.sh, not by the benchmark suite.
//
// Each frame does a fixed amount of work, records it, and sleeps to the next 1/60 s tick. At the
// end it prints the work's median and 90th percentile in milliseconds: the frame time a viewer
// beside it stretches when it competes for the processor.
//
// Usage: savrel-paced-game PATH SECONDS
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include <savrel/recorder.h>

namespace {

using Clock = std::chrono::steady_clock;

const auto kFramePeriod = std::chrono::microseconds(16667);
// About 5 ms of work on an unloaded core of this class of machine.
const int kWorkRounds = 1500000;

double churn(int rounds)
{
    double sum = 0;
    for (int n = 1; n <= rounds; n++) sum += std::sqrt(double(n));
    return sum;
}

double percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    return values[size_t(share * double(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: savrel-paced-game PATH SECONDS\n");
        return 2;
    }
    if (!recorder_open(argv[1])) return 1;
    int frames = int(std::atof(argv[2]) * 60.0);
    std::vector<double> work_milliseconds;
    double checksum = 0;
    auto tick = Clock::now();
    for (int frame = 0; frame < frames; frame++) {
        auto start = Clock::now();
        recorder_frame_begin();
        {
            SAVREL_SCOPE("Update", "World");
            checksum += churn(kWorkRounds / 2);
        }
        {
            SAVREL_SCOPE("Draw", "Scene");
            checksum += churn(kWorkRounds / 2);
        }
        recorder_frame_end();
        work_milliseconds.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        tick += kFramePeriod;
        std::this_thread::sleep_until(tick);
    }
    recorder_close();
    std::printf("frames %d work median %.2f ms p90 %.2f ms (checksum %.0f)\n", frames,
                percentile(work_milliseconds, 0.5), percentile(work_milliseconds, 0.9), checksum);
    return 0;
}
