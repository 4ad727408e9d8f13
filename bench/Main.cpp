// The benchmark program: every family registers its rows, OpenCV runs on one thread like the plug-in.
#include <opencv2/core.hpp>

#include "Support.h"

int main(int argc, char** argv) {
  cv::setNumThreads(1);
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
