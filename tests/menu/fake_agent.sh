#!/bin/sh
# Stands in for the agent: records its start, arguments, signals and exit in
# $FAKE_AGENT_LOG, writes a short run's status lines and takes a moment to exit after a
# stop, as the agent does at its next polling point.
# FAKE_AGENT_MODE: "run" (default) works until stopped or for $FAKE_AGENT_TICKS x 50 ms;
# "crash" dies of SIGSEGV in the middle of an account; "stream" reports the progress of
# a large message 2,000 times within about half a second. FAKE_AGENT_SUMMARY: one more
# summary line (e.g. a skipped account). FAKE_AGENT_ALERT: text appended to the agent's
# log ($HOME/Library/Logs/Tarnwell.log) before the summary, as an alert writes it.
log=${FAKE_AGENT_LOG:?}
echo "start $$ [$*]" >>"$log"
stop=0
trap 'echo "INT $$" >>"$log"; stop=1' INT
trap 'echo "TERM $$" >>"$log"; stop=1' TERM
printf 'updateStatus\tNone\tStarting up\n'
printf 'updateSummary\tTarnwell run started: Sun Sep 16 01:03:52 1973\n'
printf 'updateStatus\tme@example.com\tGetting mail list\n'
if [ "${FAKE_AGENT_MODE:-run}" = crash ]; then
    echo "crash $$" >>"$log"
    kill -SEGV $$
fi
if [ "${FAKE_AGENT_MODE:-run}" = stream ]; then
    k=1
    while [ $k -le 2000 ]; do
        printf 'updateStatus\tme@example.com\tForwarding message 1 of 1  (%dK sent)\n' $k
        [ $((k % 100)) = 0 ] && sleep 0.02
        k=$((k + 1))
    done
fi
n=0
while [ $stop = 0 ] && [ $n -lt "${FAKE_AGENT_TICKS:-200}" ]; do
    sleep 0.05
    n=$((n + 1))
done
if [ $stop = 1 ]; then
    printf 'updateStatus\tNone\tStopped\n'
    sleep 0.3
else
    printf 'updateStatus\tNone\tDone\n'
fi
[ -n "${FAKE_AGENT_ALERT:-}" ] && printf '%s\n' "$FAKE_AGENT_ALERT" >>"$HOME/Library/Logs/Tarnwell.log"
printf 'updateSummary\tTarnwell run completed: Sun Sep 16 01:04:10 1973\n'
printf 'updateSummary\t   1 account processed\n'
[ -n "${FAKE_AGENT_SUMMARY:-}" ] && printf 'updateSummary\t%s\n' "$FAKE_AGENT_SUMMARY"
printf 'updateSummary\t----------\n'
echo "exit $$" >>"$log"
