// What the browser tests evaluate in this worker over DevTools. Every entry
// point resolves to plain JSON; a failure on the browser's side comes back as
// {browserError: text} so that the test can show it.
const hostName = 'io.pelagon2.browser_test';

function lastErrorText(fallback) {
  return chrome.runtime.lastError ? chrome.runtime.lastError.message : fallback;
}

// One request, one fresh host.
async function callHost(message) {
  try {
    return {reply: await chrome.runtime.sendNativeMessage(hostName, message)};
  } catch (e) {
    return {browserError: String((e && e.message) || e)};
  }
}

// Several requests on one port. `pipelined` posts them all at once; otherwise
// each waits for the previous reply.
function callHostOnPort(messages, pipelined) {
  return new Promise((resolve) => {
    const port = chrome.runtime.connectNative(hostName);
    const replies = [];
    let sent = 0;
    port.onMessage.addListener((reply) => {
      replies.push(reply);
      if (replies.length === messages.length) {
        port.disconnect();
        resolve({replies});
      } else if (!pipelined) {
        port.postMessage(messages[sent++]);
      }
    });
    port.onDisconnect.addListener(() => resolve({replies, browserError: lastErrorText('port closed')}));
    if (messages.length === 0) {
      port.disconnect();
      resolve({replies});
      return;
    }
    do {
      port.postMessage(messages[sent++]);
    } while (pipelined && sent < messages.length);
  });
}

// A whole file by read_file_range on one port, until a range comes back
// empty. Resolves to every reply as received.
function readFileByRanges(path) {
  return new Promise((resolve) => {
    const port = chrome.runtime.connectNative(hostName);
    const replies = [];
    let id = 0;
    const ask = (rangeStart) =>
      port.postMessage({id: ++id, method: 'read_file_range', params: {path, rangeStart}});
    port.onMessage.addListener((reply) => {
      replies.push(reply);
      const result = reply.result;
      // A bound on the number of requests keeps a host that never reaches
      // the end from looping forever.
      if (!result || result.buffer === '' || replies.length > 64) {
        port.disconnect();
        resolve({replies});
      } else {
        ask(result.rangeEnd);
      }
    });
    port.onDisconnect.addListener(() => resolve({replies, browserError: lastErrorText('port closed')}));
    ask(0);
  });
}
