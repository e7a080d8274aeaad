-- The empty project database that every save starts from (Templates/DDETemplate.tvb).
-- A project file holds its PLCs in Plcs, one row of communication parameters per PLC in
-- CommParams and one row per top-level item in Items; PLC and item keys are not stored,
-- label indexes are. Booleans are stored as -1 (true) and 0 (false). The details of an item (DataType, ByteOrder,
-- scaling, Units, Name, Description, Deadband, Record) are columns that the upgrade adds to Items, as it does to
-- every older file.

CREATE TABLE Plcs (
    ID   INTEGER PRIMARY KEY AUTOINCREMENT,
    Name TEXT
);

CREATE TABLE CommParams (
    PlcID          INTEGER,
    PathWay        INTEGER,
    EthRemotePort  INTEGER,
    EthRemoteIP    TEXT,
    SerialComPort  INTEGER,
    SerialBaudRate INTEGER,
    TimeOut        INTEGER,
    NumRetries     INTEGER,
    UnitID         INTEGER,
    PlcType        INTEGER,
    DataBits       INTEGER,
    Parity         INTEGER,
    StopBits       INTEGER,
    ScanMs         INTEGER  -- exchanged at most once per this many milliseconds; NULL: in every pass
);

CREATE TABLE Items (
    PlcID         INTEGER,
    OprndType     INTEGER,
    OprndAddr     INTEGER,
    Oprndlength   INTEGER,
    CommDirection INTEGER,
    IsEnabled     INTEGER,
    LabelIndex    INTEGER
);

CREATE INDEX CommParamsByPlc ON CommParams (PlcID);
CREATE INDEX ItemsByPlc ON Items (PlcID);
