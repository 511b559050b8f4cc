// camera_record's cameras.mcap read by an independent reader, @mcap/core (with zstd from
// @foxglove/wasm-zstd), and its messages decoded from the file's own schema by @foxglove/rosmsg and
// @foxglove/rosmsg2-serialization: nothing of the project's code reads it here. Run by
// camera_record_mcap_test (node --test) with the environment:
//   MCAP_DIR      the recorder's output directory (cameras.mcap, cam_<id>_index.csv, cam_<id>.h264)
//   MCAP_CAMERAS  the recorded platform ids, e.g. 8,9,10,11
//   MCAP_WIDTH, MCAP_HEIGHT  the configured picture size
//   MCAP_CUT      "1" for a file that a full disk cut short: it is read as far as its chunks are complete

import assert from "node:assert/strict";
import { execFileSync } from "node:child_process";
import { mkdtempSync, readFileSync, rmSync, writeFileSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";
import { test } from "node:test";
import zlib from "node:zlib";

import { parse as parseMessageDefinition } from "@foxglove/rosmsg";
import { MessageReader } from "@foxglove/rosmsg2-serialization";
import zstd from "@foxglove/wasm-zstd";
import { McapIndexedReader, McapStreamReader } from "@mcap/core";

const dir = process.env.MCAP_DIR;
const cameras = (process.env.MCAP_CAMERAS ?? "8,9,10,11").split(",").map(Number);
const width = Number(process.env.MCAP_WIDTH);
const height = Number(process.env.MCAP_HEIGHT);
const cut = process.env.MCAP_CUT === "1";
assert.ok(dir, "MCAP_DIR names the recorder's output directory");

await zstd.isLoaded;
const decompressHandlers = {
  zstd: (buffer, size) => new Uint8Array(zstd.decompress(buffer, Number(size))),
};
const file = new Uint8Array(readFileSync(join(dir, "cameras.mcap")));

function readableOf(bytes) {
  return {
    size: async () => BigInt(bytes.byteLength),
    read: async (offset, length) => bytes.subarray(Number(offset), Number(offset + length)),
  };
}

// The camera's index as the recorder wrote it: one row per recorded frame, by column name.
function indexRows(id) {
  const [head, ...lines] = readFileSync(join(dir, `cam_${id}_index.csv`), "utf8").trim().split("\n");
  const names = head.split(",");
  return lines.map((line) => Object.fromEntries(line.split(",").map((value, i) => [names[i], value])));
}

// "sec.nsec" in nanoseconds.
function stampNs(text) {
  const [sec, nsec] = text.split(".");
  return BigInt(sec) * 1000000000n + BigInt(nsec);
}

// Everything a reader that starts at the beginning gets: records in order, and per chunk its messages.
function readFromStart(bytes) {
  const reader = new McapStreamReader({ decompressHandlers, validateCrcs: true, includeChunks: true });
  reader.append(bytes);
  const result = { channels: new Map(), schemas: new Map(), messages: [], chunkMessages: [], done: false };
  for (let record; (record = reader.nextRecord()); ) {
    if (record.type === "Chunk") {
      result.chunkMessages.push(0);
    } else if (record.type === "Channel") {
      result.channels.set(record.id, record);
    } else if (record.type === "Schema") {
      result.schemas.set(record.id, record);
    } else if (record.type === "Message") {
      result.messages.push(record);
      result.chunkMessages[result.chunkMessages.length - 1] += 1;
    }
  }
  result.done = reader.done();
  return result;
}

// A CompressedVideo message decoded with the schema the file carries.
function decoderFor(schema) {
  assert.equal(schema.name, "foxglove_msgs/msg/CompressedVideo");
  assert.equal(schema.encoding, "ros2msg");
  const definition = parseMessageDefinition(new TextDecoder().decode(schema.data), { ros2: true });
  const reader = new MessageReader(definition);
  return (message) => reader.readMessage(message.data);
}

// Each camera's messages are its recorded frames in order, as its index lists them.
function checkAgainstIndex(id, messages, decode, { wholeIndex }) {
  const rows = indexRows(id);
  if (wholeIndex) {
    assert.equal(messages.length, rows.length, `cam_${id}: one message per index row`);
  }
  messages.forEach((message, i) => {
    const video = decode(message);
    assert.equal(message.sequence, i, `cam_${id}: sequence is the frame number`);
    assert.equal(video.frame_id, `cam_${id}`);
    assert.equal(video.format, "h264");
    const publishNs = BigInt(video.timestamp.sec) * 1000000000n + BigInt(video.timestamp.nanosec);
    assert.equal(message.publishTime, publishNs, "publish time is the message's stamp");
    assert.ok(message.logTime > 0n);
    if (i < rows.length) {
      assert.equal(Number(rows[i].frame), i);
      assert.equal(publishNs, stampNs(rows[i].stamp), `cam_${id} frame ${i}: the stamp`);
      assert.equal(video.data.byteLength, Number(rows[i].bytes), `cam_${id} frame ${i}: the size`);
    }
  });
}

// FFmpeg's reading of an H.264 elementary stream: frames decoded and the picture size.
function probe(bytes) {
  const scratch = mkdtempSync(join(tmpdir(), "mcap_reader_"));
  try {
    const path = join(scratch, "channel.h264");
    writeFileSync(path, bytes);
    const output = execFileSync("ffprobe", [
      "-v", "error", "-f", "h264", "-count_frames", "-select_streams", "v:0",
      "-show_entries", "stream=width,height,nb_read_frames", "-of", "json", path,
    ]);
    const [stream] = JSON.parse(output.toString()).streams;
    return { width: stream.width, height: stream.height, frames: Number(stream.nb_read_frames) };
  } finally {
    rmSync(scratch, { recursive: true, force: true });
  }
}

function concatenated(messages, decode) {
  return Buffer.concat(messages.map((message) => decode(message).data));
}

if (!cut) {
  test("the summary names every camera's channel and schema, with the message counts of the index", async () => {
    const reader = await McapIndexedReader.Initialize({ readable: readableOf(file), decompressHandlers });
    assert.equal(reader.header.profile, "ros2");
    assert.equal(reader.header.library, "camera_record");
    assert.notEqual(reader.footer.summaryCrc, 0, "the summary CRC is there (and checked by Initialize)");
    const byTopic = new Map([...reader.channelsById.values()].map((channel) => [channel.topic, channel]));
    assert.deepEqual([...byTopic.keys()].sort(), cameras.map((id) => `/cam_${id}/video`).sort());
    let total = 0n;
    for (const id of cameras) {
      const channel = byTopic.get(`/cam_${id}/video`);
      assert.equal(channel.messageEncoding, "cdr");
      assert.ok(channel.metadata.has("offered_qos_profiles"), "the ros2 profile's channel metadata");
      const schema = reader.schemasById.get(channel.schemaId);
      assert.equal(schema.name, "foxglove_msgs/msg/CompressedVideo");
      assert.equal(schema.encoding, "ros2msg");
      const count = reader.statistics.channelMessageCounts.get(channel.id);
      assert.equal(count, BigInt(indexRows(id).length), `cam_${id}: messages as index rows`);
      total += count;
    }
    assert.equal(reader.statistics.messageCount, total);
    assert.equal(reader.statistics.channelCount, cameras.length);
    assert.equal(reader.statistics.chunkCount, reader.chunkIndexes.length);
    assert.ok(reader.chunkIndexes.length >= 2, "a chunk per second at least");
  });

  test("every message reads back through the indexes with its chunk's CRC checked, as the index has it", async () => {
    const reader = await McapIndexedReader.Initialize({ readable: readableOf(file), decompressHandlers });
    assert.equal(
      reader.dataSectionCrc,
      zlib.crc32(file.subarray(0, Number(reader.dataEndOffset))),
      "the Data End record's CRC is that of every byte before it",
    );
    for (const id of cameras) {
      const channel = [...reader.channelsById.values()].find((c) => c.topic === `/cam_${id}/video`);
      const decode = decoderFor(reader.schemasById.get(channel.schemaId));
      const messages = [];
      for await (const message of reader.readMessages({ topics: [channel.topic], validateCrcs: true })) {
        messages.push(message);
      }
      checkAgainstIndex(id, messages, decode, { wholeIndex: true });
    }
  });

  test("a reader from the start gets the same messages, and one camera's data decodes with FFmpeg", () => {
    const scan = readFromStart(file);
    assert.ok(scan.done, "the whole file, up to the footer and the closing magic");
    const [id] = cameras;
    const channel = [...scan.channels.values()].find((c) => c.topic === `/cam_${id}/video`);
    const decode = decoderFor(scan.schemas.get(channel.schemaId));
    const messages = scan.messages.filter((message) => message.channelId === channel.id);
    checkAgainstIndex(id, messages, decode, { wholeIndex: true });

    const stream = concatenated(messages, decode);
    assert.ok(stream.equals(readFileSync(join(dir, `cam_${id}.h264`))), "the camera's Annex-B stream");
    const decoded = probe(stream);
    assert.equal(decoded.frames, messages.length);
    assert.equal(decoded.width, width);
    assert.equal(decoded.height, height);
  });

  test("a file cut at a chunk boundary, or in the middle of a chunk, reads up to its last whole chunk", async () => {
    const reader = await McapIndexedReader.Initialize({ readable: readableOf(file), decompressHandlers });
    const chunks = [...reader.chunkIndexes].sort((a, b) => Number(a.chunkStartOffset - b.chunkStartOffset));
    const whole = readFromStart(file);
    const k = Math.max(1, Math.floor(chunks.length / 2));
    const before = whole.chunkMessages.slice(0, k).reduce((sum, count) => sum + count, 0);
    assert.ok(before > 0);
    const boundary = Number(chunks[k].chunkStartOffset);
    const middle = boundary + Math.floor(Number(chunks[k].chunkLength) / 2);
    for (const [what, at] of [["at a chunk boundary", boundary], ["mid-chunk", middle]]) {
      const scan = readFromStart(file.subarray(0, at));
      assert.equal(scan.done, false, `${what}: no footer`);
      assert.equal(scan.messages.length, before, `${what}: the messages of the ${k} whole chunks`);
      scan.messages.forEach((message, i) => {
        assert.equal(message.logTime, whole.messages[i].logTime);
        assert.deepEqual(message.data, whole.messages[i].data);
      });
      await assert.rejects(
        McapIndexedReader.Initialize({ readable: readableOf(file.subarray(0, at)), decompressHandlers }),
        "no index without a footer",
      );
    }
  });
} else {
  test("a file a full disk cut short reads as far as its chunks are complete", () => {
    const scan = readFromStart(file);
    assert.equal(scan.done, false, "no summary: the disk filled first");
    assert.ok(scan.messages.length > 0, "the chunks written before the disk filled");
    for (const id of cameras) {
      const channel = [...scan.channels.values()].find((c) => c.topic === `/cam_${id}/video`);
      assert.ok(channel, `cam_${id}'s channel`);
      const decode = decoderFor(scan.schemas.get(channel.schemaId));
      const messages = scan.messages.filter((message) => message.channelId === channel.id);
      checkAgainstIndex(id, messages, decode, { wholeIndex: false });
      const decoded = probe(concatenated(messages, decode));
      assert.equal(decoded.frames, messages.length);
      assert.equal(decoded.width, width);
    }
  });
}
