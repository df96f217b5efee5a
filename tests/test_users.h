#ifndef KV_TESTS_TEST_USERS_H_
#define KV_TESTS_TEST_USERS_H_

#include <sys/types.h>

#include <string>

// The users the tests act as. Root does everything as it is. A plain user's
// children that mount get a user namespace of their own (with a mount
// namespace in it), and another user comes from its subordinate ids.

/// "user N (name)", as the bootstrap names a user in its messages.
std::string userText(uid_t uid);
/// userText() of the user running the tests.
std::string thisUserText();

/// A second real user, for files and runs that are not the tests' own: as
/// root, nobody (65534); as a plain user, the first of its subordinate ids
/// (/etc/subuid, /etc/subgid), mapped into a user namespace by newuidmap and
/// newgidmap. `missing` says why there is none, and is empty when there is.
struct OtherUser {
  uid_t uid = 0;
  gid_t gid = 0;
  std::string missing;
};
const OtherUser& otherUser();

/// Skips a test that needs otherUser() where there is none, with the reason.
#define SKIP_WITHOUT_OTHER_USER()                                                       \
  if (!otherUser().missing.empty()) GTEST_SKIP() << "no second user: " << otherUser().missing

/// Makes path (a link itself, not what it points to) otherUser()'s, or
/// this user's again, which a plain user needs to remove what is in a
/// directory given away; false when that cannot be done.
bool giveToOtherUser(const std::string& path);
bool takeBackFromOtherUser(const std::string& path);

/// Who a child of the tests is, set up across its fork: the user running the
/// tests, or otherUser(). For a plain user's child that mounts or runs as the
/// other user, a user namespace of its own, where this user and, where there
/// is one, the other user keep their ids: the parent maps both with newuidmap
/// and newgidmap, or the child maps itself alone. Until it execs, the child
/// holds every capability there, to mount and to become the other user.
class ChildUser {
 public:
  ChildUser(bool asOtherUser, bool mounts);
  ~ChildUser();
  ChildUser(const ChildUser&) = delete;
  ChildUser& operator=(const ChildUser&) = delete;

  /// In the parent, right after the fork; empty, or what went wrong (the
  /// child then exits with 125).
  std::string afterFork(pid_t child);
  /// In the child, first: enters its user namespace, when it has one.
  bool enter();
  /// In the child, after its mounts: takes on the other user's ids, when asked.
  bool become() const;

 private:
  bool asOther_;
  bool ownNamespace_;
  bool parentMaps_ = false;
  OtherUser other_;
  std::string uidMap_, gidMap_;
  int ready_[2] = {-1, -1};   // child to parent: the namespace is there
  int mapped_[2] = {-1, -1};  // parent to child: '1' when it is mapped
};

#endif  // KV_TESTS_TEST_USERS_H_
