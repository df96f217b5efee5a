#ifndef KV_BOOTSTRAP_OWN_RECORD_H_
#define KV_BOOTSTRAP_OWN_RECORD_H_

// The record this bootstrap carries about itself (formats/stub_record.h),
// defined in own_record.cc, which each flavour of the bootstrap compiles with
// its own values.

/// This program's own slots as they are in memory, NUL filling included:
/// kAgentBaseUrlSlotBytes and kAgentKeySlotBytes bytes. A slot damaged by
/// hand may lack its NUL.
const char* ownAgentBaseUrlSlot();
const char* ownAgentKeySlot();

#endif  // KV_BOOTSTRAP_OWN_RECORD_H_
