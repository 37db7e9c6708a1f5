// The seven settings, AutoCompile, and streaming a component's settings as
// text.
#include <cstdio>
#include <string>
#include <fennic/fennic.h>

using namespace fennic;

int main() {
  //! [settings]
  TComponent form(nullptr);       // an owner: destroys its components with it
  auto* f = new TFennic(&form);   // freed by form
  f->SetName("Formula1");

  double a = 1, b = 2, c = 3;
  f->RegisterVarExt("a", vtDouble, &a);
  f->RegisterVarExt("b", vtDouble, &b);
  f->RegisterVarExt("c", vtDouble, &c);

  // Settings change how the next compilation arranges the code; the two
  // defaults that regroup operations (ooSoft, ebSoft) can also change the
  // value. Each setter takes the raw byte and ignores a value outside the
  // range of its type.
  f->SetAutoCompile(false);           // SetExprString only stores the text
  f->SetOutOfOrder(ooStandart);       // keep operator chains as written
  f->SetEliminateBrackets(ebStandart);// keep brackets
  f->SetAlignMode(false);             // no aligned frame or constants
  f->SetSmartLoad(false);             // no register reuse for repeated loads
  f->SetBackOperation(true);
  f->SetParallelExecution(true);
  f->SetTrigMode(tmSafe);             // stored and streamed; read by no stage
  f->SetEliminateBrackets(7);         // out of range: ignored

  f->SetExprString("(a + b) * (a + c) - (b - c) / 4");
  std::printf("before Compile: CompError %d\n", static_cast<int>(f->CompError()));
  f->Compile();
  std::printf("after Compile:  CompError %d, value %Lg\n", static_cast<int>(f->CompError()),
              f->Evaluate());
  //! [settings]

  //! [stream]
  // Only settings that differ from their defaults are written.
  std::string saved = WriteComponent(*f);
  std::printf("\n%s", saved.c_str());

  TFennic other(nullptr);
  ReadComponent(other, saved);  // every setting: from the text, or its default
  std::printf("\nread back: OutOfOrder %d, AlignMode %d, SmartLoad %d, AutoCompile %d\n",
              other.OutOfOrder(), other.AlignMode(), other.SmartLoad(), other.AutoCompile());

  try {
    ReadComponent(other, "object Formula1: TFennic\n  AlignMode = Maybe\nend\n");
  } catch (const EStreamError& e) {
    // Malformed text changes nothing.
    std::printf("EStreamError at line %d; AlignMode still %d\n", e.Line(), other.AlignMode());
  }
  //! [stream]
  return 0;
}
