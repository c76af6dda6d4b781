// An OSC peer built on osc.js, driven by the interoperability tests through JSON lines.
//
// It binds one UDP socket on 127.0.0.1 (port 0 unless given as the first argument) and prints
// {"event":"ready","port":N}. Every datagram it receives is decoded by osc.js and printed as
// {"event":"packet","packet":P} or, when osc.js throws, {"event":"error","message":M}, each with
// the datagram's bytes in hex as "raw". Every line read on standard input is a command
// {"port":N,"packet":P} (encode P with osc.js and send it to 127.0.0.1:N) or {"port":N,"hex":H}
// (send those bytes as they are); each send is acknowledged with {"event":"sent","bytes":H}.
//
// P is the comparable form shared with the other peers' adapters:
//   message: {"address":"/a","args":[["s","text"],["i",1],["f",1.5],["b","0a0b"],["h","5"]]}
//   bundle:  {"timetag":[seconds,fraction],"elements":[P, ...]}
// Blobs are hex strings; 64-bit integers are decimal strings; "T", "F", "N", "I" carry null.
"use strict";

const dgram = require("dgram");
const readline = require("readline");
const osc = require("osc");

function hex(bytes) {
    return Buffer.from(bytes.buffer, bytes.byteOffset, bytes.byteLength).toString("hex");
}

function fromOscJs(packet) {
    if (packet.packets !== undefined) {
        return {timetag: packet.timeTag.raw, elements: packet.packets.map(fromOscJs)};
    }
    return {
        address: packet.address,
        args: packet.args.map((arg) => {
            switch (arg.type) {
            case "b":
                return ["b", hex(arg.value)];
            case "h":
                return ["h", arg.value.toString()];
            case "T":
            case "F":
            case "N":
            case "I":
                return [arg.type, null];
            default:
                return [arg.type, arg.value];
            }
        }),
    };
}

function toOscJs(packet) {
    if (packet.elements !== undefined) {
        return {timeTag: {raw: packet.timetag}, packets: packet.elements.map(toOscJs)};
    }
    return {
        address: packet.address,
        args: packet.args.map(([type, value]) => {
            switch (type) {
            case "b":
                return {type, value: new Uint8Array(Buffer.from(value, "hex"))};
            case "h":
                return {type, value: osc.Long.fromString(value)};
            case "T":
            case "F":
            case "N":
            case "I":
                return {type};
            default:
                return {type, value};
            }
        }),
    };
}

function emit(event) {
    process.stdout.write(JSON.stringify(event) + "\n");
}

const socket = dgram.createSocket("udp4");

socket.on("message", (datagram) => {
    const raw = datagram.toString("hex");
    try {
        const packet = osc.readPacket(new Uint8Array(datagram), {metadata: true, unpackSingleArgs: false});
        emit({event: "packet", packet: fromOscJs(packet), raw});
    } catch (error) {
        emit({event: "error", message: String(error.message), raw});
    }
});

socket.bind(Number(process.argv[2] || 0), "127.0.0.1", () => {
    emit({event: "ready", port: socket.address().port});
    const commands = readline.createInterface({input: process.stdin});
    commands.on("line", (line) => {
        const command = JSON.parse(line);
        const bytes = command.hex !== undefined
                          ? Buffer.from(command.hex, "hex")
                          : Buffer.from(osc.writePacket(toOscJs(command.packet), {metadata: true}));
        socket.send(bytes, command.port, "127.0.0.1", (error) => {
            if (error) {
                emit({event: "error", message: String(error.message)});
            } else {
                emit({event: "sent", bytes: bytes.toString("hex")});
            }
        });
    });
    commands.on("close", () => socket.close());
});
