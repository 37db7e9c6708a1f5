// The comparison benchmark's expressions, generated at build time from
// corpus/formulas.txt and seeded random expressions by gen_corpus.py.
#pragma once

namespace fennic_bench {

struct TBenchExpr {
  const char* Name;
  const char* Group;      // "typical" or "random"
  const char* Text;       // the same text for Fennic and muparser
  int Operators;          // binary operators and function calls
  bool NeedsPack;         // calls functions or reads pi or e
  const int* Uses;        // indices into kVarNames of the variables it reads
  int UseCount;
  long double (*NativeLD)(const double* Vars);  // ahead of time, long double
  double (*NativeD)(const double* Vars);        // ahead of time, double, x87
  double (*NativeSSE)(const double* Vars);      // ahead of time, double, SSE2
  double Expected;        // the generator's own double result
};

extern const int kVarCount;
extern const char* const kVarNames[];
extern const double kVarValues[];
extern const TBenchExpr kCorpus[];
extern const int kCorpusSize;

}  // namespace fennic_bench
