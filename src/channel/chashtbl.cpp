#include "channel/chashtbl.h"

#include <cstdlib>

#include "platform/text.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace rv {
namespace {
void* HeapNode(void* heap) {
#ifdef _WIN32
  return HeapAlloc(static_cast<HANDLE>(heap), HEAP_NO_SERIALIZE | HEAP_ZERO_MEMORY, sizeof(Chashtbl::Node));
#else
  (void)heap;
  return std::calloc(1, sizeof(Chashtbl::Node));
#endif
}
void FreeNode(void* heap, void* node) {
#ifdef _WIN32
  HeapFree(static_cast<HANDLE>(heap), HEAP_NO_SERIALIZE, node);
#else
  (void)heap;
  std::free(node);
#endif
}
}  // namespace

Chashtbl::Chashtbl() {
#ifdef _WIN32
  m_hHeap = HeapCreate(HEAP_NO_SERIALIZE, 4096, 0);
#endif
}

Chashtbl::~Chashtbl() {
  Clear();
#ifdef _WIN32
  if (m_hHeap) HeapDestroy(static_cast<HANDLE>(m_hHeap));
#endif
}

bool Chashtbl::Append(TextView line) {
  auto* node = static_cast<Node*>(HeapNode(m_hHeap));
  if (!node) return false;
  CopyToBuffer(node->text, kTextUnits, line);
  node->next = nullptr;
  if (!m_pHead) m_pHead = node;
  else m_pLast->next = node;
  m_pLast = node;
  return true;
}

const Chashtbl::Node* Chashtbl::Next() {
  Node* n = m_pCursor;
  if (n) m_pCursor = n->next;
  return n;
}

void Chashtbl::Clear() {
  Node* n = m_pHead;
  while (n) {
    Node* next = n->next;
    FreeNode(m_hHeap, n);
    n = next;
  }
  m_pHead = m_pLast = m_pCursor = nullptr;
}

}  // namespace rv
