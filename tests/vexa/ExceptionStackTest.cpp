#include "vexa/core/ExceptionStack.h"

#include <gtest/gtest.h>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace {

struct Thrower
{
    int value = 0;
    int fail(int code)
    try {
        throw std::runtime_error("failed " + std::to_string(code));
    }
    VEXA_RETHROW

    int passOn(int code)
    try {
        return fail(code);
    }
    VEXA_RETHROW
};

TEST(ExceptionStack, RecordsEachFunctionTheExceptionPassesAndRethrowsTheSameObject)
{
    auto trail = Vexa::ExceptionStack::getInstance();
    trail->clear();
    Thrower t;
    try {
        t.passOn(7);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "failed 7");
    }
    const auto entries = trail->entries(std::this_thread::get_id());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_NE(entries[0].signature.find("fail"), std::string::npos);
    EXPECT_NE(entries[1].signature.find("passOn"), std::string::npos);
    EXPECT_NE(entries[0].file.find("ExceptionStackTest.cpp"), std::string::npos);
    EXPECT_LT(entries[0].line, entries[1].line);
}

TEST(ExceptionStack, DumpsThreadByThreadAndClearsAll)
{
    auto trail = Vexa::ExceptionStack::getInstance();
    trail->clear();
    trail->push("void a()", "a.cpp", 1);
    std::thread([&] { trail->push("void b()", "b.cpp", 2); }).join();
    trail->push("void c()", "c.cpp", 3);

    std::ostringstream out;
    trail->dump(out);
    const std::string text = out.str();
    std::ostringstream mine;
    mine << "thread id: " << std::this_thread::get_id() << '\n';
    EXPECT_EQ(text.rfind(mine.str(), 0), 0u) << text;
    // The calling thread's two records come before the other thread's heading.
    const auto posA = text.find("a.cpp\tvoid a()\t1\n");
    const auto posC = text.find("c.cpp\tvoid c()\t3\n");
    const auto secondThread = text.find("thread id: ", 1);
    ASSERT_NE(posA, std::string::npos);
    ASSERT_NE(posC, std::string::npos);
    ASSERT_NE(secondThread, std::string::npos);
    EXPECT_LT(posA, posC);
    EXPECT_LT(posC, secondThread);
    EXPECT_NE(text.find("b.cpp\tvoid b()\t2\n", secondThread), std::string::npos);

    trail->clear();
    EXPECT_EQ(trail->size(), 0u);
    std::ostringstream empty;
    trail->dump(empty);
    EXPECT_TRUE(empty.str().empty());
}

TEST(ExceptionStack, KeepsOnlyTheNewestRecordsOfAThread)
{
    auto trail = Vexa::ExceptionStack::getInstance();
    trail->clear();
    for (std::size_t i = 0; i < Vexa::ExceptionStack::maxEntriesPerThread + 5; ++i)
        trail->push("f", "f.cpp", static_cast<int>(i));
    const auto entries = trail->entries(std::this_thread::get_id());
    ASSERT_EQ(entries.size(), Vexa::ExceptionStack::maxEntriesPerThread);
    EXPECT_EQ(entries.front().line, 5);
    trail->clear();
}

}
