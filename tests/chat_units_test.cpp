// SPDX-License-Identifier: MIT
// zefa-chat's units without the program: its options, what a person enters at the prompt, and
// the conversations it keeps.
#include "chat_options.h"
#include "chat_text.h"
#include "conversation_store.h"
#include "interrupt_watcher.h"
#include "prompt_entry.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <limits>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using namespace zefa_chat;
using zefa_test::ScratchDirectory;

constexpr const char* kKey = "sk-units";

// A file far larger than the process could hold: a tebibyte, or the most a 32-bit off_t reaches
// (2 GiB, beyond what a 32-bit process can keep in one string).
constexpr off_t kHugeFileSize = static_cast<off_t>(
    std::min<std::int64_t>(std::int64_t{1} << 40, std::numeric_limits<off_t>::max()));

// A file of size bytes in directory that holds text, then zeros (which take no room on disk).
std::string sparseFile(const ScratchDirectory& directory, const std::string& name,
                       const std::string& text, off_t size) {
    const std::string path = directory.file(name, text);
    if (truncate(path.c_str(), size) != 0) throw std::runtime_error("truncate failed");
    return path;
}

template <typename T>
std::string failureText(const Outcome<T>& outcome) {
    const Failure* failed = failureOf(outcome);
    return failed != nullptr ? failed->message : std::string();
}

std::string describe(const Options& o) {
    std::string text;
    const auto add = [&text](bool on, const std::string& what) {
        if (on) text += (text.empty() ? "" : " ") + what;
    };
    add(o.prompt.has_value(), "prompt=" + o.prompt.value_or(""));
    add(o.system.has_value(), "system=" + o.system.value_or(""));
    add(!o.systemFile.empty(), "system-file=" + o.systemFile);
    add(!o.loadFile.empty(), "load=" + o.loadFile);
    add(o.continueLast, "continue");
    add(!o.model.empty(), "model=" + o.model);
    add(!o.apiKeyFile.empty(), "key-file=" + o.apiKeyFile);
    add(o.listModels, "list-models");
    add(o.raw, "raw");
    add(o.stats, "stats");
    add(o.verbose, "verbose");
    return text;
}

TEST(ChatOptions, ParseToOptionsOrAFailure) {
    using Action = ParsedOptions::Action;
    struct Row {
        std::vector<std::string> args;
        bool stderrIsTerminal;
        std::string expected;  // the options described, or the failure
        Action action = Action::Run;
    };
    const Row rows[] = {
        {{}, true, "stats"},
        {{}, false, ""},
        {{"-p", "hi", "--raw", "--verbose", "--stats"}, false, "prompt=hi raw stats verbose"},
        {{"--prompt", "", "--system", "be brief", "--model", "m"},
         false,
         "prompt= system=be brief model=m"},
        {{"--continue", "-p", "and then?", "--system-file", "f"},
         false,
         "prompt=and then? system-file=f continue"},
        {{"--load", "c.json", "--api-key-file", "k", "--list-models"},
         false,
         "load=c.json key-file=k list-models"},
        {{"--system", "s", "--system-file", "f"},
         false,
         "--system and --system-file both give the system message; give one"},
        {{"--load", "c.json", "--continue"},
         false,
         "--load and --continue both name the conversation to go on with; give one"},
        {{"-p", "hi", "--model"}, false, "missing value for --model"},
        {{"--raw", "--bogus"}, false, "unknown option --bogus"},
        {{"--raw", "--help", "--bogus"}, false, "raw", Action::ShowHelp},
        {{"--version", "--system"}, false, "", Action::ShowVersion},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::PrintToString(row.args));
        const Outcome<ParsedOptions> parsed = parseOptions(row.args, row.stderrIsTerminal);
        if (const Failure* failed = failureOf(parsed)) {
            EXPECT_EQ(failed->message, row.expected);
            continue;
        }
        EXPECT_EQ(describe(std::get<ParsedOptions>(parsed).options), row.expected);
        EXPECT_EQ(std::get<ParsedOptions>(parsed).action, row.action);
    }
}

TEST(ChatOptions, KeyAndSystemMessageFromTheirSources) {
    const ScratchDirectory scratch("chat-units");
    const std::string privateKey = scratch.file("key", "  sk-1 \t\r\nsecond line\n");
    const std::string sharedKey = scratch.file("shared-key", "sk-2\n", 0644);
    const std::string system = scratch.file("system", "be brief\n\n");
    const std::string blank = scratch.file("blank", " \n");
    const std::string missing = scratch.path() + "/missing";
    const std::string locked = scratch.file("locked", "sk-3\n", 0);
    // Neither a named pipe without a writer nor an endless device may hold the read, nor a huge
    // file fill the memory; a key file is read no further than its first line.
    const std::string pipe = scratch.namedPipe("pipe");
    const std::string longLine = sparseFile(scratch, "long-line", "sk-", 4097);
    const std::string keyAhead = sparseFile(scratch, "key-ahead", "sk-4\n", kHugeFileSize);
    const std::string longSystem = sparseFile(scratch, "long-system", "be", (1 << 20) + 1);
    struct Row {
        const char* name;
        Options options;
        const char* environmentKey;
        std::string expected;  // key | warning | system message, or the failure
    };
    const auto keyFile = [](const std::string& path) {
        Options options;
        options.apiKeyFile = path;
        return options;
    };
    const auto systemFile = [](const std::string& path) {
        Options options;
        options.systemFile = path;
        return options;
    };
    const std::string noSuchFile = ": No such file or directory";
    const Row rows[] = {
        {"key from the environment", {}, "\tsk-0 \r\n", "sk-0 |  | "},
        {"first line of the key file", keyFile(privateKey), "ignored", "sk-1 |  | "},
        {"key file others can read", keyFile(sharedKey), nullptr,
         "sk-2 | zefa-chat: warning: the API key file " + sharedKey +
             " is readable by other users (chmod 600 " + sharedKey + " makes it yours alone) | "},
        {"no key", {}, nullptr, "no API key: set ZEFA_API_KEY or use --api-key-file"},
        {"blank key file", keyFile(blank), nullptr, "no API key in " + blank},
        {"control character in the key",
         {},
         "sk\x1b[0m",
         "the API key in ZEFA_API_KEY holds a control character"},
        {"missing key file", keyFile(missing), nullptr, "cannot read " + missing + noSuchFile},
        {"key file that is a directory", keyFile(scratch.path()), nullptr,
         "cannot read " + scratch.path() + ": Is a directory"},
        {"system message from a file", systemFile(system), "sk", "sk |  | be brief"},
        {"blank system file", systemFile(blank), "sk", "no system message in " + blank},
        {"missing system file", systemFile(missing), "sk", "cannot read " + missing + noSuchFile},
        {"key file a named pipe", keyFile(pipe), nullptr,
         "cannot read " + pipe + ": it is a named pipe, not a regular file"},
        {"key file with a long first line", keyFile(longLine), nullptr,
         "cannot read " + longLine +
             ": its first line holds more than 4 KiB, the limit for an API key"},
        {"key ahead of a huge file", keyFile(keyAhead), nullptr, "sk-4 |  | "},
        {"system file a device", systemFile("/dev/zero"), "sk",
         "cannot read /dev/zero: it is a character device, not a regular file"},
        {"system file too long", systemFile(longSystem), "sk",
         "cannot read " + longSystem +
             ": it holds more than 1 MiB, the limit for a system message"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const Outcome<ApiKey> key = readApiKey(row.options, row.environmentKey);
        const Outcome<std::optional<std::string>> message = readSystemMessage(row.options);
        if (failureOf(key) != nullptr || failureOf(message) != nullptr) {
            EXPECT_EQ(failureText(key) + failureText(message), row.expected);
            continue;
        }
        EXPECT_EQ(std::get<ApiKey>(key).key + " | " + std::get<ApiKey>(key).warning + " | " +
                      std::get<std::optional<std::string>>(message).value_or(""),
                  row.expected);
    }
    // Permissions do not stop root, who reads every file.
    if (geteuid() != 0) {
        EXPECT_EQ(failureText(readApiKey(keyFile(locked), nullptr)),
                  "cannot read " + locked + ": Permission denied");
    }
}

// Lines as a person enters them, one after another.
class ScriptedLines : public LineSource {
public:
    explicit ScriptedLines(std::vector<SourceLine> lines) : lines_(lines.begin(), lines.end()) {}

    SourceLine read(bool continuation) override {
        continuations += continuation ? "c" : "-";
        if (lines_.empty()) return {SourceLine::Kind::End, ""};
        SourceLine line = lines_.front();
        lines_.pop_front();
        return line;
    }
    void remember(const std::string& entry) override { remembered.push_back(entry); }

    std::vector<std::string> remembered;
    std::string continuations;  // per read: c when it went on an entry, - otherwise

private:
    std::deque<SourceLine> lines_;
};

SourceLine typed(const std::string& text) { return {SourceLine::Kind::Text, text}; }
SourceLine interrupted(const std::string& text) { return {SourceLine::Kind::Interrupted, text}; }
SourceLine refused(const std::string& why) { return {SourceLine::Kind::Refused, why}; }
// A line that begins with pasted text.
SourceLine pasted(const std::string& text) { return {SourceLine::Kind::Text, text, true}; }

std::string describe(const Entry& entry) {
    static const char* const kinds[] = {"prompt", "command", "refused", "interrupted", "end"};
    static const char* const commands[] = {"help", "reset", "save", "load", "quit"};
    std::string text = kinds[static_cast<int>(entry.kind)];
    if (entry.kind == Entry::Kind::Command) {
        text += std::string(" ") + commands[static_cast<int>(entry.command)];
        if (!entry.argument.empty()) text += " [" + entry.argument + "]";
    } else if (entry.kind != Entry::Kind::End) {
        text += " [" + entry.text + "]";
    }
    return text + (entry.inputEnded ? " (input ended)" : "");
}

TEST(PromptEntry, LinesBecomePromptsCommandsOrNothing) {
    struct Row {
        const char* name;
        std::vector<SourceLine> lines;
        std::vector<std::string> entries;     // described, up to the end of input
        std::vector<std::string> remembered;  // for Up, as they can be entered again
    };
    const Row rows[] = {
        {"prompts as typed, blank lines skipped",
         {typed(" hello "), typed(""), typed(" \t"), typed("a\tb")},
         {"prompt [ hello ]", "prompt [a\tb]", "end"},
         {" hello ", "a\tb"}},
        {"commands, blanks around them",
         {typed("/help"), typed("  /quit "), typed("/reset"), typed("/save  my chat.json "),
          typed("/load c.json")},
         {"command help", "command quit", "command reset", "command save [my chat.json]",
          "command load [c.json]", "end"},
         {"/help", "  /quit ", "/reset", "/save  my chat.json ", "/load c.json"}},
        {"unknown and misused commands are refused, // sends one slash",
         {typed("/sve x.json"), typed("/save"), typed("/quit now"), typed("//etc/hosts?"),
          typed("/")},
         {"refused [no command /sve; /help lists them (a prompt that begins with / is typed //)]",
          "refused [usage: /save FILE]", "refused [usage: /quit]", "prompt [/etc/hosts?]",
          "refused [no command /; /help lists them (a prompt that begins with / is typed //)]",
          "end"},
         {"/sve x.json", "/save", "/quit now", "//etc/hosts?", "/"}},
        {"a block is one prompt, never a command",
         {typed(R"(""")"), typed("/help"), typed(""), typed(R"(two""")"), typed(R"("""/reset""")")},
         {"prompt [/help\n\ntwo]", "prompt [/reset]", "end"},
         {"/help\n\ntwo", R"("""/reset""")"}},
        {"pasted lines are one prompt as they stand",
         {typed("/help\nmore"), typed(R"("""doc""")"
                                      "\nx = 1")},
         {"prompt [/help\nmore]", "prompt [\"\"\"doc\"\"\"\nx = 1]", "end"},
         {"/help\nmore", "\"\"\"doc\"\"\"\nx = 1"}},
        {"a line that begins with pasted text is a prompt, and comes back as one",
         {pasted("/usr/bin/env: what?"), pasted(R"("""Return the sum)"), pasted(" plain"),
          typed(R"("""/usr/bin/env: what?""")"), typed(R"(""""""Return the sum""")")},
         {"prompt [/usr/bin/env: what?]", R"(prompt ["""Return the sum])", "prompt [ plain]",
          "prompt [/usr/bin/env: what?]", R"(prompt ["""Return the sum])", "end"},
         {R"("""/usr/bin/env: what?""")", R"(""""""Return the sum""")", " plain",
          R"("""/usr/bin/env: what?""")", R"(""""""Return the sum""")"}},
        {"a refused line is said, also inside a block, which it drops",
         {refused("too long"), typed(R"(""")"), typed("one"), refused("too long")},
         {"refused [too long]", "refused [too long]", "end"},
         {}},
        {"Ctrl-C drops the line or the block being typed",
         {typed("first"), interrupted("half"), interrupted(""), typed(R"(""")"), typed("one"),
          interrupted("tw"), typed("second")},
         {"prompt [first]", "interrupted [half]", "interrupted []", "interrupted [\"\"\"\none\ntw]",
          "prompt [second]", "end"},
         {"first", "second"}},
        {"a block open at the end of input is sent",
         {typed(R"("""left)"), typed("open")},
         {"prompt [left\nopen] (input ended)", "end"},
         {"left\nopen"}},
        {"a blank block open at the end of input is nothing",
         {typed(R"(""")"), typed(" ")},
         {"end"},
         {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ScriptedLines source(row.lines);
        std::vector<std::string> entries;
        for (;;) {
            const Entry entry = readEntry(source);
            entries.push_back(describe(entry));
            if (entry.kind == Entry::Kind::End || entries.size() > row.entries.size()) break;
        }
        EXPECT_EQ(entries, row.entries);
        EXPECT_EQ(source.remembered, row.remembered);
    }
}

TEST(ConversationStore, ReadsOnlyConversations) {
    struct Row {
        const char* text;
        std::string expected;  // the number of messages, or the failure
    };
    const Row rows[] = {
        {R"({"messages": []})", "0"},
        {R"({"messages": [{"role": "system", "content": "s"}, {"role": "user", "content": "u"},
             {"role": "assistant", "content": "a", "name": "x"}], "model": "m"})",
         "3"},
        {"{\"messages\": []} and more",
         "not JSON (Line 1, Column 18: Extra non-whitespace after JSON value.)"},
        {"[]", "no {\"messages\": [...]} list"},
        {R"({"messages": {}})", "no {\"messages\": [...]} list"},
        {R"({"messages": [{"role": "user", "content": "u"}, 7]})", "message 2 is no object"},
        {R"({"messages": [{"role": "robot", "content": "u"}]})",
         "message 1 has no \"role\" of system, user or assistant"},
        {R"({"messages": [{"role": "user", "content": ["u"]}]})",
         "message 1 has no text \"content\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.text);
        const Outcome<Messages> messages = parseConversation(row.text);
        EXPECT_EQ(failureOf(messages) ? failureText(messages)
                                      : std::to_string(std::get<Messages>(messages).size()),
                  row.expected);
    }
}

TEST(ConversationStore, KeepsTurnsAndTheSystemMessage) {
    Conversation conversation;
    conversation.addTurn("q1", "a1");
    conversation.setSystem("first system");
    conversation.setSystem("be brief");
    const Messages expected = {
        {"system", "be brief"}, {"user", "q1"}, {"assistant", "a1"}, {"user", "q2"}};
    EXPECT_EQ(conversation.withPrompt("q2"), expected);
    conversation.reset();
    EXPECT_EQ(conversation.messages(), (Messages{{"system", "be brief"}}));
    Conversation plain(Messages{{"user", "q"}, {"assistant", "a"}});
    plain.reset();
    EXPECT_TRUE(plain.empty());
}

TEST(ConversationStore, SavedAndLoadedWithoutTheKey) {
    const ScratchDirectory scratch("chat-units");
    const std::string path = scratch.path() + "/chat.json";
    const Messages messages = {{"system", "be brief"},
                               {"user", "my key is sk-9, and \"quotes\"\n\u4e16"},
                               {"assistant", "noted"}};
    ASSERT_FALSE(saveConversation(path, messages, "sk-9"));
    struct stat file {};
    ASSERT_EQ(stat(path.c_str(), &file), 0);
    EXPECT_EQ(file.st_mode & 0777, 0600u);
    Messages masked = messages;
    masked[1].content = "my key is [API key removed], and \"quotes\"\n\u4e16";
    const Outcome<Messages> loaded = loadConversation(path);
    ASSERT_EQ(failureText(loaded), "");
    EXPECT_EQ(std::get<Messages>(loaded), masked);

    const std::string notOne = scratch.file("notes.txt", "notes\n");
    EXPECT_EQ(failureText(loadConversation(notOne)),
              notOne +
                  " is not a saved conversation: not JSON (Line 1, Column 1: Syntax error: "
                  "value, object or array expected.)");
    const std::string pipe = scratch.namedPipe("chat.pipe");
    EXPECT_EQ(failureText(loadConversation(pipe)),
              "cannot read " + pipe + ": it is a named pipe, not a regular file");
    const std::string huge = sparseFile(scratch, "huge.json", "{", (16 << 20) + 1);
    EXPECT_EQ(
        failureText(loadConversation(huge)),
        "cannot read " + huge + ": it holds more than 16 MiB, the limit for a saved conversation");
    EXPECT_EQ(saveConversation(scratch.path() + "/none/chat.json", messages, "").value().message,
              "cannot write " + scratch.path() + "/none/chat.json: No such file or directory");
}

// The last conversation is kept in, and read from, a directory and a file of the user's alone.
TEST(ConversationStore, LastConversationOnlyWhereItIsPrivate) {
    const Messages messages = {{"user", "q"}, {"assistant", "a"}};
    struct Row {
        const char* name;
        std::function<void(const std::string& directory)> spoil;
        std::string failure;  // after the directory, empty when the conversation is kept
    };
    const Row rows[] = {
        {"private", [](const std::string&) {}, ""},
        {"directory open to others",
         [](const std::string& directory) { chmod(directory.c_str(), 0755); },
         " is open to other users (chmod 700 DIR makes it yours alone)"},
        {"file open to others",
         [](const std::string& directory) { chmod((directory + "/last.json").c_str(), 0640); },
         "/last.json is open to other users (chmod 600 DIR/last.json makes it yours alone)"},
        {"file a symbolic link",
         [](const std::string& directory) {
             const std::string path = directory + "/last.json";
             std::filesystem::rename(path, directory + "/elsewhere.json");
             std::filesystem::create_symlink(directory + "/elsewhere.json", path);
         },
         "/last.json is a symbolic link"},
        {"directory a symbolic link",
         [](const std::string& directory) {
             std::filesystem::rename(directory, directory + ".elsewhere");
             std::filesystem::create_directory_symlink(directory + ".elsewhere", directory);
         },
         " is a symbolic link"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        const ScratchDirectory scratch("chat-units");
        const zefa_test::EnvironmentVariable stateHome("XDG_STATE_HOME", scratch.path());
        const std::string directory = scratch.path() + "/zefa-chat";
        LastConversation(kKey).keep(messages);
        row.spoil(directory);
        const Outcome<Messages> loaded = LastConversation::load();
        if (row.failure.empty()) {
            EXPECT_EQ(failureText(loaded), "");
            struct stat file {};
            ASSERT_EQ(stat((directory + "/last.json").c_str(), &file), 0);
            EXPECT_EQ(file.st_mode & 0777, 0600u);
            continue;
        }
        const std::string failure = directory + replacedAll(row.failure, "DIR", directory);
        EXPECT_NE(failureText(loaded).find(failure), std::string::npos) << failureText(loaded);
        // Kept again: refused the same way, said once, and nothing written through a link.
        zefa_test::StderrCapture capture;
        LastConversation again(kKey);
        again.keep(Messages{{"user", "other"}});
        again.keep(Messages{{"user", "other"}});
        EXPECT_EQ(capture.text(),
                  "zefa-chat: the conversation is not kept for --continue: " + failure + "\n");
        EXPECT_EQ(zefa_test::readFile(directory + "/last.json"), conversationText(messages, kKey));
    }
}

// Ctrl-C stops an answer also when it comes before the engine has taken the request, when a
// stop reaches nothing yet; the watcher gives SIGINT back the action it had.
TEST(InterruptWatcher, StopReachesARequestThatStartsLater) {
    if (*ZEFA_TEST_EMULATOR != '\0') {
        // qemu-user 7.2 aborts any program that joins a thread after a signal was delivered.
        GTEST_SKIP() << "signals under " << ZEFA_TEST_EMULATOR;
    }
    struct sigaction outside {};
    struct sigaction ignored {};
    ignored.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGINT, &ignored, &outside), 0);
    std::atomic<int> stops{0};
    std::atomic<bool> running{false};  // the engine has taken the request: a stop reaches it
    std::atomic<bool> stopped{false};
    {
        InterruptWatcher watcher(
            [&] {
                ++stops;
                stopped = running.load();
            },
            true);
        watcher.setAnswering(true);
        ASSERT_EQ(raise(SIGINT), 0);
        ASSERT_TRUE(zefa_test::eventually([&] { return stops > 0; }));
        running = true;
        EXPECT_TRUE(zefa_test::eventually([&] { return stopped.load(); }));
        watcher.setAnswering(false);
    }
    struct sigaction after {};
    ASSERT_EQ(sigaction(SIGINT, &outside, &after), 0);
    EXPECT_EQ(after.sa_handler, SIG_IGN);
}

TEST(ChatText, ServiceTextIsShownWithoutDrivingTheTerminal) {
    const std::pair<std::string, std::string> rows[] = {
        {"plain\ttext\nand lines \u4e16", "plain\ttext\nand lines \u4e16"},
        {"\x1b]0;title\x07\x1b[2J", "^[]0;title^G^[[2J"},
        {std::string("cr\r del\x7f nul\0.", 14), "cr^M del^? nul^@."},
        {"csi \u009b2J", "csi \\u009b2J"},
        {"bad \xff byte", "bad \uFFFD byte"},
    };
    for (const auto& [text, shown] : rows) EXPECT_EQ(escapedForTerminal(text), shown) << text;
}

}  // namespace
