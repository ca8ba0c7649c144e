#include "analysis/stage.h"

bool StageChain::add(Stage* stage) {
  if (count_ >= kMaxStages || !stage) return false;
  stages_[count_++] = stage;
  return true;
}

Status StageChain::Link::take(const Sample& block) {
  if (index >= chain->count_) return STATUS_OK;  // past the last stage
  if (block.length == 0) return STATUS_OK;
  return chain->stages_[index]->process(block, chain->links_[index + 1]);
}

Status StageChain::start(const StageFormat& in, StageFormat* out) {
  StageFormat f = in;
  for (unsigned i = 0; i <= count_; ++i) {
    links_[i].chain = this;
    links_[i].index = i;
  }
  for (unsigned i = 0; i < count_; ++i) {
    StageFormat next = f;
    Status st = stages_[i]->start(f, &next);
    if (st != STATUS_OK) return st;
    f = next;
  }
  if (out) *out = f;
  return STATUS_OK;
}

Status StageChain::finish() {
  for (unsigned i = 0; i < count_; ++i) {
    Status st = stages_[i]->finish(links_[i + 1]);
    if (st != STATUS_OK) return st;
  }
  return STATUS_OK;
}

void StageChain::release() {
  for (unsigned i = 0; i < count_; ++i) stages_[i]->release();
}
