// Long texts: a chain of operators is as deep a tree as it is long, and its
// compilation must not depend on the depth of the machine stack.
#include <gtest/gtest.h>

#include <pthread.h>

#include <string>

#include "integration/settings_matrix.h"

namespace fennic::testing {
namespace {

struct TJob {
  std::string Text;
  TSettings Settings;
  TError Error = eValExpected;
  long double Value = 0;
};

void* CompileAndRun(void* arg) {
  auto* job = static_cast<TJob*>(arg);
  TFennic f;
  double x = 0.5;
  long double e = 0.25L;
  f.RegisterVarExt("x", vtDouble, &x);
  f.RegisterVarExt("e", vtExtended, &e);
  job->Settings.ApplyTo(f);
  f.SetExprString(job->Text);
  job->Error = f.CompError();
  if (job->Error == eNone) job->Value = f.Evaluate();
  return nullptr;
}

// Runs the job on a thread whose stack is far smaller than one frame per
// operator of the chain would need.
void RunOnSmallStack(TJob& job) {
#if defined(__SANITIZE_ADDRESS__)
  constexpr std::size_t stack = 512 * 1024;
#else
  constexpr std::size_t stack = 128 * 1024;
#endif
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, stack);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attr, CompileAndRun, &job), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

TEST(LongTexts, ChainsOfTwentyThousandOperatorsCompileOnASmallStack) {
  constexpr int terms = 20000;
  const struct {
    const char* first;
    const char* term;
    long double value;
  } chains[] = {
      {"x", "-x*x", 0.5L - 0.25L * terms},  // a sum of products
      {"e", "+x", 0.25L + 0.5L * terms},    // a left-deep sum, memory operands
      {"x", "/x*x", 0.5L},                  // a left-deep product
  };
  for (const auto& c : chains) {
    for (std::uint8_t back : {1, 0}) {
      TJob job;
      job.Text = c.first;
      for (int i = 0; i < terms; ++i) job.Text += c.term;
      job.Settings.Back = back;
      RunOnSmallStack(job);
      ASSERT_EQ(job.Error, eNone) << c.term;
      EXPECT_EQ(job.Value, c.value) << c.term << " BackOperation " << int(back);
    }
  }
}

}  // namespace
}  // namespace fennic::testing
