-- Who may use the application server: operators with their passwords, the
-- establishments each may work on, their sessions, and the failed sign-ins
-- that slow the next ones. Only the application server and the administration
-- command read and write these tables; the workstation never does.
--
-- Instants are whole seconds since 1970-01-01 UTC (BIGINT): every server
-- compares them alike, whatever its time zone.

-- Operators. DSHASHSENHA is the password as libsodium's Argon2id string
-- ("$argon2id$v=19$m=...,t=...,p=1$salt$hash"): salted, slow, never the
-- password itself. IDATIVO 'N' refuses the operator's sign-in.
CREATE TABLE OPERADOR (
    CDOPERADOR  VARCHAR(30)  NOT NULL,
    NMOPERADOR  VARCHAR(60)  NOT NULL,
    DSHASHSENHA VARCHAR(255) NOT NULL,
    IDATIVO     VARCHAR(1)   NOT NULL,
    CONSTRAINT OPERADOR_PK PRIMARY KEY (CDOPERADOR),
    CONSTRAINT OPERADOR_ATIVO CHECK (IDATIVO IN ('S', 'N'))
);

-- The establishments (branch and company) on which an operator may use a
-- program (CDPROGRAMA, e.g. 'ZAV50000'). No row, no access.
CREATE TABLE PERMISSAOOPER (
    CDOPERADOR VARCHAR(30) NOT NULL,
    CDPROGRAMA VARCHAR(10) NOT NULL,
    CDFILIAL   VARCHAR(4)  NOT NULL,
    CDEMPRESA  VARCHAR(2)  NOT NULL,
    CONSTRAINT PERMISSAOOPER_PK PRIMARY KEY (CDOPERADOR, CDPROGRAMA, CDFILIAL, CDEMPRESA),
    CONSTRAINT PERMISSAOOPER_OPERADOR FOREIGN KEY (CDOPERADOR) REFERENCES OPERADOR (CDOPERADOR),
    CONSTRAINT PERMISSAOOPER_FILIAL FOREIGN KEY (CDFILIAL) REFERENCES FILIAL (CDFILIAL),
    CONSTRAINT PERMISSAOOPER_EMPRESA FOREIGN KEY (CDEMPRESA) REFERENCES EMPRESA (CDEMPRESA)
);

-- Sessions. The token the workstation holds is kept only as its SHA-256
-- (NRHASHTOKEN, hex), so a copy of this table opens no session; IDSESSAO is a
-- handle for logs, the audit and revocation, and tells nothing of the token.
-- DSENDERECO is the address the session was opened from. A session ends at
-- DHEXPIRA (renewed by use, never past DHLIMITE) or when DHENCERRADA is set
-- (sign-out, revocation, a new password).
CREATE TABLE SESSAOOPER (
    IDSESSAO    VARCHAR(16) NOT NULL,
    NRHASHTOKEN VARCHAR(64) NOT NULL,
    CDOPERADOR  VARCHAR(30) NOT NULL,
    DSENDERECO  VARCHAR(64) NOT NULL,
    DHINICIO    BIGINT      NOT NULL,
    DHULTIMOUSO BIGINT      NOT NULL,
    DHEXPIRA    BIGINT      NOT NULL,
    DHLIMITE    BIGINT      NOT NULL,
    DHENCERRADA BIGINT,
    CONSTRAINT SESSAOOPER_PK PRIMARY KEY (IDSESSAO),
    CONSTRAINT SESSAOOPER_TOKEN UNIQUE (NRHASHTOKEN),
    CONSTRAINT SESSAOOPER_OPERADOR FOREIGN KEY (CDOPERADOR) REFERENCES OPERADOR (CDOPERADOR)
);
CREATE INDEX SESSAOOPER_POR_OPERADOR ON SESSAOOPER (CDOPERADOR);

-- Failed sign-ins in a row, per operator ('O:' and the code) and per address
-- ('E:' and the address), shared by every server on the database.
CREATE TABLE FALHALOGIN (
    DSCHAVE  VARCHAR(100) NOT NULL,
    NRFALHAS INTEGER      NOT NULL,
    DHULTIMA BIGINT       NOT NULL,
    CONSTRAINT FALHALOGIN_PK PRIMARY KEY (DSCHAVE)
);
