#include "platform/Log.h"

Q_LOGGING_CATEGORY(lcSession, "ombrix.session")
Q_LOGGING_CATEGORY(lcHttp, "ombrix.http")
Q_LOGGING_CATEGORY(lcKeychain, "ombrix.keychain")
Q_LOGGING_CATEGORY(lcBridge, "ombrix.bridge")
Q_LOGGING_CATEGORY(lcContent, "ombrix.content")
Q_LOGGING_CATEGORY(lcLocalLLM, "ombrix.localllm")
Q_LOGGING_CATEGORY(lcInstaller, "ombrix.installer")
Q_LOGGING_CATEGORY(lcApp, "ombrix.app")
