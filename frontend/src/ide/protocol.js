// The terminal and run sockets' protocol, from the one file the server
// takes it from too (routes/run/socket-protocol.md explains it).
import protocol from '../../../routes/run/socket_protocol.json' with { type: 'json' };

export const CLOSE = protocol.close;
export const CLIENT = protocol.client;
export const SERVER = protocol.server;
