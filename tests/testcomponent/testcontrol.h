#pragma once

// The recording test component's second face: tests reach it through qobject_cast on an
// instance's widget (the instance widgets are named "Quillon" and "QuillonRecv" on the
// window). It records every member call of every instance in one journal, answers with
// scripted values or failures and raises any event slot on demand.

#include "endpoint/quillonboundary.h"

#include <QList>
#include <QObject>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

namespace quillon::test {

enum class CallKind { Invoke, Get, Set };

struct Call
{
    int instance = -1; // the instance's serial: its place in creation order, from 0
    CallKind kind = CallKind::Invoke;
    MemberId member = MemberId::StartCapi;
    QVariantList args; // Invoke: the dispatch array; Set: the one value; Get: empty
};

class TestControl
{
public:
    virtual ~TestControl() = default;

    // Creation order across the plugin's life, from 0.
    virtual int serial() const = 0;
    // The saved properties the host handed to create().
    virtual QVariantMap savedProperties() const = 0;

    // Every member call of every instance of the plugin, oldest first.
    virtual QList<Call> calls() const = 0;
    virtual void clearCalls() = 0;

    // What this instance answers to a member from now on: a value or a failure. Unscripted
    // members answer True for StartCapi and the send methods, fixed identification texts for
    // the three read properties and an empty value otherwise.
    virtual void setAnswer(MemberId member, const Result &answer) = 0;
    virtual void resetAnswers() = 0;

    // Called with each call as it is recorded, before the instance answers it.
    virtual void setCallObserver(std::function<void(const Call &)> observer) = 0;

    // Raises an event in a slot, synchronously, with the parameters by reference.
    virtual void raise(int slot, QVariantList &params) = 0;
};

// The identification texts an unscripted instance answers.
inline constexpr char kTestCapiDescription[] = "Test CAPI 2.0 loopback";
inline constexpr char kTestReleaseVersion[] = "1.2.3";
inline constexpr char kTestSerialNumber[] = "TC-0001";

// The file, beside the executable, that a process-level test writes to script the component:
// one step per line, fields separated by tabs. Steps run one at a time from the event loop,
// the first once the loop starts:
//   answer <instance name> <member id, hex> b:<True|False> | s:<text> | i:<n> | fail:<n>:<text>
//   raise <instance name> <slot> [s:<text> | b:<True|False> ...]
//   click <button object name>
//   close <window object name>
//   closemodal        (closes the active modal window, e.g. the error report)
inline constexpr char kScriptFileName[] = "testcomponent-script.txt";

} // namespace quillon::test

#define QUILLON_TEST_CONTROL_IID "org.morvane.quillon.test.TestControl/1.0"
Q_DECLARE_INTERFACE(quillon::test::TestControl, QUILLON_TEST_CONTROL_IID)
