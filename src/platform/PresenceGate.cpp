#include "platform/PresenceGate.h"

#include "platform/Localization.h"
#include "platform/Log.h"

#include <QFileInfo>

#include <security/pam_appl.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <pwd.h>
#include <unistd.h>

namespace {
std::shared_ptr<PresenceGate>& sharedSlot() {
    static std::shared_ptr<PresenceGate> slot;
    return slot;
}
std::mutex& sharedMutex() {
    static std::mutex m;
    return m;
}
PasswordAsker& askerSlot() {
    static PasswordAsker asker;
    return asker;
}
std::mutex& askerMutex() {
    static std::mutex m;
    return m;
}

void wipe(QByteArray& bytes) {
    if (!bytes.isEmpty())
        explicit_bzero(bytes.data(), static_cast<size_t>(bytes.size()));
    bytes.clear();
}

// What PAM's modules may ask during authentication: the user name (echoed prompt)
// and the password, once. A second hidden prompt (a one-time code, say) cannot be
// answered from one password dialog and fails the conversation.
struct Conversation {
    QByteArray user;
    QByteArray password;
    bool passwordGiven = false;
};

void freeResponses(pam_response* responses, int count) {
    for (int i = 0; i < count; ++i) {
        if (char* text = responses[i].resp) {
            explicit_bzero(text, std::strlen(text));
            std::free(text);
        }
    }
    std::free(responses);
}

int converse(int count, const pam_message** messages, pam_response** responses, void* data) {
    if (count <= 0 || count > PAM_MAX_NUM_MSG || !messages || !responses || !data)
        return PAM_CONV_ERR;
    auto* conversation = static_cast<Conversation*>(data);
    auto* replies = static_cast<pam_response*>(std::calloc(static_cast<size_t>(count), sizeof(pam_response)));
    if (!replies)
        return PAM_BUF_ERR;
    for (int i = 0; i < count; ++i) {
        const QByteArray* answer = nullptr;
        switch (messages[i]->msg_style) {
        case PAM_PROMPT_ECHO_OFF:
            if (conversation->passwordGiven) {
                freeResponses(replies, count);
                return PAM_CONV_ERR;
            }
            conversation->passwordGiven = true;
            answer = &conversation->password;
            break;
        case PAM_PROMPT_ECHO_ON:
            answer = &conversation->user;
            break;
        case PAM_ERROR_MSG:
        case PAM_TEXT_INFO:
            break;
        default:
            freeResponses(replies, count);
            return PAM_CONV_ERR;
        }
        if (answer) {
            replies[i].resp = strndup(answer->constData(), static_cast<size_t>(answer->size()));
            if (!replies[i].resp) {
                freeResponses(replies, count);
                return PAM_BUF_ERR;
            }
        }
    }
    *responses = replies;
    return PAM_SUCCESS;
}
} // namespace

QString PresenceGate::defaultReason() {
    return loc("Ombrix veut utiliser un secret protégé de ton trousseau.");
}

PresenceGate& PresenceGate::shared() {
    std::lock_guard lock(sharedMutex());
    auto& slot = sharedSlot();
    if (!slot)
        slot = std::make_shared<PamPresenceGate>();
    return *slot;
}

void PresenceGate::setShared(std::shared_ptr<PresenceGate> gate) {
    std::lock_guard lock(sharedMutex());
    sharedSlot() = std::move(gate);
}

void PamPresenceGate::setPasswordAsker(PasswordAsker asker) {
    std::lock_guard lock(askerMutex());
    askerSlot() = std::move(asker);
}

PasswordAsker PamPresenceGate::passwordAsker() {
    std::lock_guard lock(askerMutex());
    return askerSlot();
}

QString PamPresenceGate::defaultService() {
    for (const char* dir : {"/etc/pam.d/", "/usr/lib/pam.d/"})
        if (QFileInfo::exists(QString::fromLatin1(dir) + QStringLiteral("ombrix")))
            return QStringLiteral("ombrix");
    return QStringLiteral("login");
}

QString PamPresenceGate::currentUserName() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    QByteArray buffer(size > 0 ? size : 16384, '\0');
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), static_cast<size_t>(buffer.size()), &found) == 0 &&
        found && found->pw_name)
        return QString::fromLocal8Bit(found->pw_name);
    return qEnvironmentVariable("USER");
}

bool PamPresenceGate::confirm(const QString& reason) {
    const PasswordAsker asker = passwordAsker();
    if (!asker) {
        qCInfo(lcKeychain) << "presence check refused: nothing can ask for the password";
        return false;
    }
    std::optional<QString> password = asker(reason);
    if (!password) {
        qCInfo(lcKeychain) << "presence check cancelled";
        return false;
    }

    Conversation conversation;
    conversation.user = (options_.user.isEmpty() ? currentUserName() : options_.user).toLocal8Bit();
    conversation.password = password->toUtf8();
    password->fill(QChar(u'\0'));
    password.reset();

    const QByteArray service =
        (options_.service.isEmpty() ? defaultService() : options_.service).toLocal8Bit();
    const QByteArray confDir = options_.confDir.toLocal8Bit();
    const pam_conv conv{converse, &conversation};
    pam_handle_t* handle = nullptr;
    int result = confDir.isEmpty()
                     ? pam_start(service.constData(), conversation.user.constData(), &conv, &handle)
                     : pam_start_confdir(service.constData(), conversation.user.constData(), &conv,
                                         confDir.constData(), &handle);
    if (result != PAM_SUCCESS || !handle) {
        wipe(conversation.password);
        qCWarning(lcKeychain) << "presence check unavailable: PAM could not start" << service;
        return false;
    }
    result = pam_authenticate(handle, 0);
    const QString outcome = QString::fromLocal8Bit(pam_strerror(handle, result));
    pam_end(handle, result);
    wipe(conversation.password);
    if (result != PAM_SUCCESS) {
        qCInfo(lcKeychain) << "presence check refused:" << outcome;
        return false;
    }
    qCInfo(lcKeychain) << "presence confirmed";
    return true;
}
