// ombrix-decoder: the worker that decodes files for the program (see
// content/Decoding.h). Started by the program with its socket as descriptor 3:
//   ombrix-decoder --profile <images|pdf|ocr|photos> --parent <pid> --modules <folder:folder…>
#include "content/DecoderProtocol.h"
#include "content/DecoderWorker.h"
#include "decoder/Sandbox.h"
#include "platform/Modules.h"

#include <QCoreApplication>
#include <QStringList>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {
constexpr rlim_t kMaxDescriptors = 128;
}

int main(int argc, char** argv) {
    // Dies with the program; a program already gone leaves nothing to serve.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    // Its memory is the files it decodes: no other process of the user may read it
    // or attach to it, and a crash leaves no core file.
    ::prctl(PR_SET_DUMPABLE, 0);
    // No terminal to type into (the program starts it in a session of its own).
    if (::getsid(0) != ::getpid())
        ::setsid();
    QString profile;
    qint64 parent = -1;
    QString modules;
    for (int index = 1; index + 1 < argc; index += 2) {
        const QByteArray name = argv[index];
        if (name == "--profile")
            profile = QString::fromLocal8Bit(argv[index + 1]);
        else if (name == "--parent")
            parent = QByteArray(argv[index + 1]).toLongLong();
        else if (name == "--modules")
            modules = QString::fromLocal8Bit(argv[index + 1]);
    }
    if (parent <= 0 || qint64(::getppid()) != parent)
        return 2;
    // Only the socket is inherited, besides stdin and stdout on /dev/null and stderr.
    ::syscall(SYS_close_range, DecoderProtocol::kWorkerSocketFd + 1, ~0U, 0);
    const rlimit noCore{0, 0};
    ::setrlimit(RLIMIT_CORE, &noCore);

    QCoreApplication application(argc, argv);
    Modules::setSearchPathForTesting(modules.split(QLatin1Char(':'), Qt::SkipEmptyParts));
    if (!DecoderWorker::prepare(profile))
        return 2;
    // A few descriptors at a time are all the decoders need (the fonts a page uses,
    // the language data); the seal keeps this limit from being raised.
    const rlimit descriptors{kMaxDescriptors, kMaxDescriptors};
    if (::setrlimit(RLIMIT_NOFILE, &descriptors) != 0)
        return 3;
    if (!Sandbox::seal())
        return 3;
    if (!Sandbox::fileSystemConfined())
        std::fputs("ombrix-decoder: no Landlock on this kernel, fonts not embedded in a PDF are not "
                   "drawn\n",
                   stderr);
    DecoderWorker::serve(DecoderProtocol::kWorkerSocketFd);
    // Nothing to tidy: the program closed the socket.
    ::_exit(0);
}
