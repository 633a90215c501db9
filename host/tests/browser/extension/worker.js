// What the browser tests evaluate in this worker (over DevTools in Chromium,
// Marionette in Firefox). The host is reached through the client library,
// copied beside this file when the tests are built. Every entry point resolves
// to plain JSON; a failure on the browser's side comes back as
// {browserError: text} so that the test can show it.
import {ConnectionError, callOnce, connect, toBase64} from './pelagon2.js';

const hostName = 'io.pelagon2.browser_test';
const runtime = (globalThis.browser ?? globalThis.chrome).runtime;
const promises = globalThis.browser !== undefined;

// The browser's failures apart from the library's own (a timeout, a reply
// that is not what was asked).
function browserError(e) {
  if (e instanceof ConnectionError) return {browserError: e.message};
  return {clientError: `${e.name}: ${e.message}`};
}

// One request, one fresh host; the reply as the host wrote it.
async function callHost(message) {
  try {
    return {reply: await callOnce(hostName, message.method, message.params,
                                  {runtime, promises, id: message.id, raw: true})};
  } catch (e) {
    return browserError(e);
  }
}

// Several requests on one port. `pipelined` makes every call at once;
// otherwise each waits for the previous reply. The client numbers requests
// from 1, as the tests' messages do, so the replies show the host's ids.
async function callHostOnPort(messages, pipelined) {
  const client = connect(hostName, {runtime, promises});
  const replies = [];
  try {
    if (pipelined) {
      const calls = messages.map((m) => client.call(m.method, m.params, {raw: true}).then((reply) => {
        replies.push(reply);
        return reply;
      }));
      await Promise.all(calls);
    } else {
      for (const m of messages) replies.push(await client.call(m.method, m.params, {raw: true}));
    }
    return {replies};
  } catch (e) {
    return {replies, ...browserError(e)};
  } finally {
    client.close();
  }
}

// A whole file by the client's ranged reads on one port: every range result
// as received, and the bytes the client put together, in base64.
async function readFileByRanges(path) {
  const client = connect(hostName, {runtime, promises});
  const replies = [];
  try {
    const bytes = await client.readFile(path, {onRange: (range) => replies.push({result: range})});
    return {replies, content: toBase64(bytes)};
  } catch (e) {
    return {replies, ...browserError(e)};
  } finally {
    client.close();
  }
}

// A module's functions are not globals; the tests call them by name.
Object.assign(globalThis, {callHost, callHostOnPort, readFileByRanges});
