// signals.cpp: the program name, the ending signals and the relation-file
// record.
#include "signals.h"

#include <pthread.h>
#include <unistd.h>

#include <cstdio>

namespace zervgen {

const char* programName = "";

namespace {

// The record of the relation file being written. The name is copied, so
// the handler never follows a pointer into a buffer the main flow may
// change.
constexpr int kRecordNameSize = 520;
volatile int relationFd = -1;
char relationName[kRecordNameSize];
char removedName[kRecordNameSize];

}  // namespace

void Signals_EndingSet(sigset_t* set) {
  sigemptyset(set);
  sigaddset(set, SIGINT);
  sigaddset(set, SIGTERM);
}

SignalGuard::SignalGuard() {
  sigset_t block;
  Signals_EndingSet(&block);
  pthread_sigmask(SIG_BLOCK, &block, &saved_);
}

SignalGuard::~SignalGuard() { pthread_sigmask(SIG_SETMASK, &saved_, nullptr); }

void Main_SetRelationFile(int fd, const char* name) {
  if (fd < 0 || name == nullptr) {
    relationFd = -1;
    relationName[0] = '\0';
    return;
  }
  std::snprintf(relationName, sizeof relationName, "%s", name);
  relationFd = fd;
}

const char* Signals_RemoveRelationFile() {
  if (relationFd < 0 || relationName[0] == '\0') return nullptr;
  ::close(relationFd);
  relationFd = -1;
  ::unlink(relationName);
  int i = 0;
  for (; relationName[i] != '\0'; ++i) removedName[i] = relationName[i];
  removedName[i] = '\0';
  relationName[0] = '\0';
  return removedName;
}

}  // namespace zervgen
