// The benchmark program: every family registers its rows. The host runs each run on one thread (its
// default is every core) and OpenCV on one thread too, since most rows read the CPU time of the
// benchmark's own thread; the rows timed by the wall clock set their threads themselves.
#include <opencv2/core.hpp>

#include "Support.h"

int main(int argc, char** argv) {
  cv::setNumThreads(1);
  kxhost::setThreads(1);
  rkbench::registerArithmetic();
  rkbench::registerLogicGenerators();
  rkbench::registerSegmentationFeatures();
  rkbench::registerColourGeometry();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
