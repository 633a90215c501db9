import {test} from 'node:test';
import assert from 'node:assert/strict';

import {
  ConnectionError, FileChangedError, HostError, METHODS, TimeoutError, callOnce, camelCase, connect, fromBase64,
  toBase64,
} from '../pelagon2.js';
import {FakeRuntime, sleep} from './fake_runtime.js';

test('replies in any order resolve the call with their own id', async () => {
  const runtime = new FakeRuntime();
  const client = connect('io.test', {runtime});
  const port = runtime.ports[0];
  assert.equal(port.hostName, 'io.test');
  const calls = [client.call('a', {n: 1}), client.getVersion(), client.fileExists({path: '/x'})];
  assert.deepEqual(port.sent.map((m) => [m.id, m.method]), [[1, 'a'], [2, 'get_version'], [3, 'file_exists']]);
  assert.deepEqual(port.sent[2].params, {path: '/x'});
  // Backwards, plus a stray id nobody asked for.
  port.reply({id: 3, result: true});
  port.reply({id: 99, result: 'stray'});
  port.reply({id: 2, result: '2.0.2'});
  port.reply({id: 1, result: {n: 1}});
  assert.deepEqual(await Promise.all(calls), [{n: 1}, '2.0.2', true]);
});

test('calls made while the port is connecting are sent once it is open, in order', async () => {
  const runtime = new FakeRuntime({asyncConnect: true});
  const client = connect('io.test', {runtime});
  const first = client.getVersion();
  const second = client.sendText({text: 'hi'});
  const port = runtime.ports[0];
  assert.equal(port.sent.length, 0);
  runtime.openPort();
  await sleep(0);
  assert.deepEqual(port.sent.map((m) => m.method), ['get_version', 'send_text']);
  port.reply({id: 2, result: true});
  port.reply({id: 1, result: '2.0.2'});
  assert.equal(await first, '2.0.2');
  assert.equal(await second, true);
});

test('a closing port rejects every pending call with the browser text, and later calls too', async () => {
  for (const firefox of [false, true]) {
    const runtime = new FakeRuntime();
    const client = connect('io.test', {runtime});
    const calls = [client.getVersion(), client.searchDesktop({pattern: {data: ''}})];
    const text = 'Error when communicating with the native messaging host.';
    runtime.ports[0].close(text, {firefox});
    for (const call of calls) {
      await assert.rejects(call, (e) => e instanceof ConnectionError && e.message === text);
    }
    await assert.rejects(client.getVersion(), (e) => e instanceof ConnectionError && e.message === text);
    assert.equal(client.closed, true);
  }
});

test('close() ends the port and rejects what is pending', async () => {
  const runtime = new FakeRuntime();
  const client = connect('io.test', {runtime});
  const call = client.getVersion();
  client.close();
  assert.equal(runtime.ports[0].disconnected, true);
  await assert.rejects(call, ConnectionError);
  await assert.rejects(client.getVersion(), ConnectionError);
});

test('a connectNative that throws or rejects fails the calls', async () => {
  const runtime = new FakeRuntime();
  runtime.connectNative = () => { throw new Error('Specified native messaging host not found.'); };
  const client = connect('io.missing', {runtime});
  await assert.rejects(client.getVersion(), {name: 'ConnectionError', message: 'Specified native messaging host not found.'});
});

test('error replies become HostError with the code word and the exact message', async () => {
  const cases = [
    ['bad_params: missing \'pattern\'', 'bad_params'],
    ['input_backend_unavailable: the application does not have the permission to simulate input',
      'input_backend_unavailable'],
    ['green_pink_not_supported: use search_relative', 'green_pink_not_supported'],
    ['Unknown method: get_versions', null],
    ['Unknown method: ', null],
    ['Missing string param \'path\'', null],
    ['No such file or directory (os error 2)', null],
    ['failed to fill whole buffer', null],
    ['out of memory while handling search_image', null],
    ['run_failed: /bin/sh: No such file', 'run_failed'],
    ['bad_key:no blank', null],
    ['Bad_params: x', null],
  ];
  const runtime = new FakeRuntime({onPost: (port, m) => port.reply({error: {message: cases[m.id - 1][0]}, id: m.id})});
  const client = connect('io.test', {runtime});
  for (const [message, code] of cases) {
    await assert.rejects(client.call('m'), (e) => {
      assert.ok(e instanceof HostError && e instanceof Error);
      assert.equal(e.message, message);
      assert.equal(e.code, code, message);
      assert.equal(e.method, 'm');
      return true;
    });
  }
});

test('a timed-out call rejects; its late reply is dropped and the next call gets its own', async () => {
  const runtime = new FakeRuntime();
  const client = connect('io.test', {runtime, timeoutMs: 5000});
  const port = runtime.ports[0];
  const slow = client.waitForImage({pattern: {data: ''}}, {timeoutMs: 20});
  await assert.rejects(slow, (e) => e instanceof TimeoutError && e.method === 'wait_for_image' && e.timeoutMs === 20);
  const next = client.getVersion();
  // The host finishes the first request first.
  port.reply({id: 1, result: {found: true}});
  port.reply({id: 2, result: '2.0.2'});
  assert.equal(await next, '2.0.2');
});

test('one-shot calls with promise and callback runtimes', async () => {
  const promised = {sendNativeMessage: async (host, m) => ({id: m.id, result: `${host}:${m.method}`})};
  assert.equal(await callOnce('io.a', 'get_version', {}, {runtime: promised}), 'io.a:get_version');

  const failing = {sendNativeMessage: async () => { throw new Error('Native host has exited.'); }};
  await assert.rejects(callOnce('io.a', 'x', {}, {runtime: failing}), {name: 'ConnectionError', message: 'Native host has exited.'});

  const errorReply = {sendNativeMessage: async (h, m) => ({error: {message: 'bad_image: not a PNG'}, id: m.id})};
  await assert.rejects(callOnce('io.a', 'search_image', {}, {runtime: errorReply}), {code: 'bad_image'});

  const callbacks = {
    lastError: undefined,
    sendNativeMessage(host, m, done) {
      setTimeout(() => {
        if (m.method === 'fail') {
          this.lastError = {message: 'Specified native messaging host not found.'};
          done(undefined);
          this.lastError = undefined;
        } else {
          done({id: m.id, result: m.params});
        }
      }, 0);
    },
  };
  assert.deepEqual(await callOnce('io.a', 'echo', {a: 1}, {runtime: callbacks, promises: false}), {a: 1});
  await assert.rejects(callOnce('io.a', 'fail', {}, {runtime: callbacks, promises: false}),
                       {message: 'Specified native messaging host not found.'});

  const never = {sendNativeMessage: () => new Promise(() => {})};
  await assert.rejects(callOnce('io.a', 'x', {}, {runtime: never, timeoutMs: 10}), TimeoutError);
});

test('every host method has a camelCase wrapper', () => {
  const client = connect('io.test', {runtime: new FakeRuntime()});
  assert.equal(new Set(METHODS).size, METHODS.length);
  for (const method of METHODS) assert.equal(typeof client[camelCase(method)], 'function', method);
  assert.equal(camelCase('get_active_browser_outer_rect'), 'getActiveBrowserOuterRect');
});

// A host serving read_file_range from a file the test can change.
function fileHost(file, {chunk = 524288, onRead} = {}) {
  let reads = 0;
  return new FakeRuntime({
    onPost(port, m) {
      const {path, rangeStart = 0} = m.params;
      if (path !== '/f') return port.reply({error: {message: 'No such file or directory (os error 2)'}, id: m.id});
      if (m.method === 'get_file_size') return port.reply({id: m.id, result: file.bytes.length});
      onRead?.(reads++, file);
      if (file.failNext) return port.reply({error: {message: 'failed to fill whole buffer'}, id: m.id});
      const piece = file.bytes.subarray(Math.min(rangeStart, file.bytes.length), rangeStart + chunk);
      port.reply({id: m.id, result: {buffer: toBase64(piece), rangeEnd: rangeStart + piece.length, rangeStart}});
    },
  });
}

function bytesOf(length, seed = 7) {
  const out = new Uint8Array(length);
  for (let i = 0, x = seed; i < length; ++i) out[i] = (x = (x * 1103515245 + 12345) >>> 0) >>> 24;
  return out;
}

test('readFile returns the exact bytes across range boundaries', async () => {
  for (const length of [0, 1, 524287, 524288, 524289, 2 * 1024 * 1024 + 3]) {
    const file = {bytes: bytesOf(length)};
    const runtime = fileHost(file);
    const client = connect('io.test', {runtime});
    const read = await client.readFile('/f');
    assert.equal(read.length, length);
    assert.ok(Buffer.from(read).equals(Buffer.from(file.bytes)), `content of ${length} bytes`);
    const ranges = runtime.ports[0].sent.filter((m) => m.method === 'read_file_range').map((m) => m.params.rangeStart);
    const expected = [];
    for (let at = 0; at < length; at += 524288) expected.push(at);
    expected.push(length);
    assert.deepEqual(ranges, expected);
  }
});

test('readFile refuses a file that changes size under it', async () => {
  // Grows after the size was taken, shrinks between ranges, shrinks during one read.
  const changes = [
    [(n, f) => { if (n === 0) f.bytes = bytesOf(700000); }, FileChangedError],
    [(n, f) => { if (n === 1) f.bytes = f.bytes.subarray(0, 524288); }, FileChangedError],
    [(n, f) => { if (n === 1) f.failNext = true; }, {name: 'HostError', code: null, message: 'failed to fill whole buffer'}],
  ];
  for (const [onRead, expected] of changes) {
    const file = {bytes: bytesOf(600000)};
    const client = connect('io.test', {runtime: fileHost(file, {onRead})});
    await assert.rejects(client.readFile('/f'), expected);
  }
  const client = connect('io.test', {runtime: fileHost({bytes: bytesOf(3)})});
  await assert.rejects(client.readFile('/missing'), {name: 'HostError', message: 'No such file or directory (os error 2)'});
});

test('readFile refuses a host that answers another range than asked', async () => {
  const runtime = new FakeRuntime({
    onPost(port, m) {
      if (m.method === 'get_file_size') return port.reply({id: m.id, result: 10});
      port.reply({id: m.id, result: {buffer: toBase64(new Uint8Array(4)), rangeEnd: 5, rangeStart: 0}});
    },
  });
  await assert.rejects(connect('io.test', {runtime}).readFile('/f'), HostError);
});

test('base64 round trip of every byte value and of long input', () => {
  const all = Uint8Array.from({length: 256}, (_, i) => i);
  assert.deepEqual(fromBase64(toBase64(all)), all);
  const long = bytesOf(100003);
  assert.equal(toBase64(long), Buffer.from(long).toString('base64'));
  assert.equal(toBase64(new Uint8Array(0)), '');
});

test('raw calls keep the whole reply, error replies included, and one-shot calls take an id', async () => {
  const runtime = new FakeRuntime({onPost: (port, m) => port.reply(m.method === 'bad'
    ? {error: {message: 'Unknown method: bad'}, id: m.id} : {id: m.id, result: 'ok'})});
  const client = connect('io.test', {runtime});
  assert.deepEqual(await client.call('bad', {}, {raw: true}), {error: {message: 'Unknown method: bad'}, id: 1});
  assert.deepEqual(await client.call('good', {}, {raw: true}), {id: 2, result: 'ok'});
  const oneShot = {sendNativeMessage: async (h, m) => ({error: {message: 'Unknown method: x'}, id: m.id})};
  assert.deepEqual(await callOnce('io.a', 'x', {}, {runtime: oneShot, id: 7, raw: true}),
                   {error: {message: 'Unknown method: x'}, id: 7});
});

test('readFile shows each range as it arrives', async () => {
  const file = {bytes: bytesOf(524288 + 10)};
  const ranges = [];
  const read = await connect('io.test', {runtime: fileHost(file)}).readFile('/f', {onRange: (r) => ranges.push(r)});
  assert.equal(read.length, file.bytes.length);
  assert.deepEqual(ranges.map((r) => [r.rangeStart, r.rangeEnd]), [[0, 524288], [524288, 524298], [524298, 524298]]);
});
