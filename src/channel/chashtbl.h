// The undelete report: a singly linked list of report lines on a private
// heap, filled while the engine's results arrive and read by the report
// dialog.
#pragma once
#include "platform/types.h"

namespace rv {

class Chashtbl {
 public:
  static constexpr size_t kTextUnits = 520;
  struct Node {
    char16_t text[kTextUnits];
    Node* next;
  };

  Chashtbl();
  ~Chashtbl();
  Chashtbl(const Chashtbl&) = delete;
  Chashtbl& operator=(const Chashtbl&) = delete;

  bool Append(TextView line);  // truncated to 519 units
  void Rewind() { m_pCursor = m_pHead; }
  const Node* Next();
  void Clear();

 private:
  Node* m_pHead = nullptr;
  Node* m_pLast = nullptr;
  Node* m_pCursor = nullptr;
  void* m_hHeap = nullptr;
};

}  // namespace rv
