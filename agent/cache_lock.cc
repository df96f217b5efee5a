#include "agent/cache_lock.h"
CacheLock::CacheLock(const std::string&) {}
CacheLock::~CacheLock() {}
