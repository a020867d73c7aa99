// No segment lost: when a client's job of a Go run ends through a failure or the loss of its
// computer (not a user's stop), its segment is encoded again, into the same output name, by
// the first computer of the run that has ended its own segment well: the Server writes it in
// its Shardex folder, a client in its own, whence it is copied home like any client output.
// The lost slot's panel follows the re-encoding with that computer's figures, and the run's
// join waits for it. A re-encoding that fails too ends the slot as stopped, with both
// reasons; a user's Stop re-encodes nothing.
#pragma once

#include <string>

namespace shardex {

class Form1;
struct PanelFigures;
struct SessionState;
enum class SlotId;

// A run is starting: any re-encoding of an earlier run is forgotten. A Go run's slots (those
// Plan_Join noted) may take each other's segments; a slot run alone leaves none.
void Plan_ReRun(Form1& f, bool goRun);
// The user stops the run: whatever waits is ended as stopped, nothing more starts.
void ReRun_User_Stop(Form1& f);
// The job under way of `id` (its own or a re-encoding) failed with `why`; the first reason
// of a job is kept.
void Note_Job_Failure(Form1& f, SlotId id, const std::string& why);

// True while the segment of `id` is re-encoded on another computer.
bool Is_ReRun(const SessionState& S, SlotId id);
// The computer whose Shardex folder a client slot's output is copied from when its job
// ends: its own, the client re-encoding its segment, or "" when the Server did.
std::string Output_Computer(Form1& f, SlotId id);
// The text added to the message of a client's failure: that its segment will be encoded
// again, when another computer of the run can still do it; else "".
std::string ReRun_Note(const Form1& f, SlotId id);
// The status line of a running slot's panel: its figures', or where its segment is
// re-encoded and how far.
std::string Running_Status(const SessionState& S, SlotId id, const PanelFigures& fig);

// After finish_job has written a slot's outcome: takes the segment of a lost client into the
// waiting ones, hands waiting segments to computers that are free, and ends a re-encoding
// (with its message when it failed). Returns true when the segment of `id` is still to be
// done, so its slot does not count as ended for the join.
bool ReRun_After_End(Form1& f, SlotId id, bool success);

}  // namespace shardex
