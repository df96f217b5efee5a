#ifndef KV_BOOTSTRAP_STUB_RECORD_H_
#define KV_BOOTSTRAP_STUB_RECORD_H_

// The record a built bootstrap carries about itself, so that kv-pack can tell
// a stub from any other program and show what it was built for. It is an ELF
// note: owner kStubRecordOwner, type kStubRecordFormat, and as description a
// run of "key=value" fields, each ended by a NUL byte.

inline constexpr char kStubRecordOwner[] = "kv-bootstrap";
/// The note type, and so the record's format: raised whenever a reader of
/// the old format would misread the new one.
inline constexpr unsigned kStubRecordFormat = 1;

/// The fields of format 1, in the order the bootstrap writes them.
inline constexpr char kStubVersionKey[] = "version";
inline constexpr char kStubAgentBaseUrlKey[] = "agent-base-url";
inline constexpr char kStubSigningKeyKey[] = "signing-key";  ///< "none": agents are not signed
/// The platform tag of the agent URL and cache ("tux64le", "tuxarm64le").
/// Added to format 1 later: readers skip fields they do not know, and stubs
/// built before it lack it.
inline constexpr char kStubPlatformKey[] = "platform";

#endif  // KV_BOOTSTRAP_STUB_RECORD_H_
