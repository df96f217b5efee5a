#ifndef KV_BOOTSTRAP_OWN_RECORD_H_
#define KV_BOOTSTRAP_OWN_RECORD_H_

// The record this bootstrap carries about itself (formats/stub_record.h),
// defined in own_record.cc, which each flavour of the bootstrap compiles with
// its own values.

/// This program's own slot named key (formats/stub_record.h) as it is in
/// memory: recordSlotBytes(key) bytes, NUL filling included. A slot damaged
/// by hand may lack its NUL.
const char* ownRecordSlot(const char* key);

#endif  // KV_BOOTSTRAP_OWN_RECORD_H_
