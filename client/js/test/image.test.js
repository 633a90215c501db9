import {test} from 'node:test';
import assert from 'node:assert/strict';

import {fromBase64, imageParam, rgbaToRgb} from '../pelagon2.js';

const PNG = Uint8Array.from([0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0, 0, 0, 13, 73, 72, 68, 82]);
// 2×1 pixels: red and half-transparent blue, as a canvas holds them.
const RGBA = Uint8ClampedArray.from([255, 0, 0, 255, 0, 0, 255, 128]);
const RGB = [255, 0, 0, 0, 0, 255];

// The little of the browser's canvas a 2d context needs here.
class FakeCanvas {
  constructor(width, height, pixels = new Uint8ClampedArray(width * height * 4)) {
    this.width = width;
    this.height = height;
    this.pixels = pixels;
  }
  getContext(kind) {
    if (kind !== '2d') return null;
    return {
      getImageData: (x, y, w, h) => ({data: this.pixels.slice(), width: w, height: h}),
      drawImage: (image) => { this.pixels = image.pixels.slice(); },
    };
  }
}

test('PNG bytes go as a PNG without a size, raw pixels with theirs', async () => {
  assert.deepEqual(await imageParam(PNG), {data: Buffer.from(PNG).toString('base64')});
  assert.deepEqual(await imageParam(PNG.buffer, {dpiX: 144}), {data: Buffer.from(PNG).toString('base64'), dpiX: 144});
  const rgb = Uint8Array.from(RGB);
  assert.deepEqual(await imageParam(rgb, {width: 2, height: 1}), {data: Buffer.from(rgb).toString('base64'), width: 2, height: 1});
  const fromRgba = await imageParam(RGBA, {width: 2, height: 1});
  assert.deepEqual([...fromBase64(fromRgba.data)], RGB);
});

test('bytes that fit no form are refused', async () => {
  const cases = [
    [Uint8Array.of(1, 2, 3), {}],
    [Uint8Array.of(1, 2, 3, 4, 5), {width: 1, height: 1}],
    [Uint8Array.of(1, 2, 3), {width: 0, height: 1}],
    [{}, {}],
    [null, {}],
  ];
  for (const [source, options] of cases) await assert.rejects(imageParam(source, options), TypeError);
  assert.throws(() => rgbaToRgb(new Uint8Array(7), 1, 2), TypeError);
});

test('a Blob holding a PNG is sent as it is; other Blobs are decoded', async () => {
  assert.deepEqual(await imageParam(new Blob([PNG], {type: 'image/png'})), {data: Buffer.from(PNG).toString('base64')});
  const saved = globalThis.createImageBitmap;
  try {
    globalThis.createImageBitmap = undefined;
    await assert.rejects(imageParam(new Blob([Uint8Array.of(0xff, 0xd8)], {type: 'image/jpeg'})), TypeError);
    let closed = false;
    globalThis.createImageBitmap = async () => ({width: 2, height: 1, pixels: RGBA, close: () => { closed = true; }});
    globalThis.OffscreenCanvas = FakeCanvas;
    const param = await imageParam(new Blob([Uint8Array.of(0xff, 0xd8)], {type: 'image/jpeg'}));
    assert.deepEqual({...param, data: [...fromBase64(param.data)]}, {data: RGB, width: 2, height: 1});
    assert.ok(closed, 'the decoded bitmap is closed');
  } finally {
    globalThis.createImageBitmap = saved;
    delete globalThis.OffscreenCanvas;
  }
});

test('canvases, ImageData and ImageBitmaps become raw RGB of their size', async () => {
  globalThis.OffscreenCanvas = FakeCanvas;
  try {
    const sources = [
      new FakeCanvas(2, 1, RGBA),
      {data: RGBA, width: 2, height: 1},          // ImageData
      {width: 2, height: 1, pixels: RGBA},        // an ImageBitmap, drawn on a canvas
    ];
    for (const source of sources) {
      const param = await imageParam(source, {dpiX: 192});
      assert.deepEqual({...param, data: [...fromBase64(param.data)]}, {data: RGB, width: 2, height: 1, dpiX: 192});
    }
    const webgl = new FakeCanvas(1, 1);
    webgl.getContext = () => null;
    await assert.rejects(imageParam(webgl), /2d context/);
  } finally {
    delete globalThis.OffscreenCanvas;
  }
});
